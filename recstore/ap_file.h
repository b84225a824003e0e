// What the program knows of the suite's ap record file: its layout, the table the record
// store keeps it in, and every statement the program runs on that table itself. Nothing
// else spells these, so a change of layout lands here alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recstore/file_table.h"

namespace recstore {

// An ap record's length: the copy's buffer, and the longest record it copies.
inline constexpr uint32_t kApRecordLength = 150;

// An ap record (and so its key 0, kKeyLength bytes) begins with the record type (3 bytes),
// "000" (3), the agency code (2), then Num and Seq. The code sits at this offset and length:
// bytes 7 and 8.
inline constexpr std::size_t kApAgencyOffset = 6;
inline constexpr std::size_t kApAgencyLength = 2;

// Length of an ap key prefix: record type, "000" and agency code.
inline constexpr std::size_t kApPrefixLength = kApAgencyOffset + kApAgencyLength;

// The record file's name as the store opens it, and the table that backs it.
inline constexpr const char* kApFileName = "ap";
inline constexpr const char* kApTable = "zz_data_ap";
static_assert(std::string_view(kApTable).starts_with(kFileTablePrefix) &&
              std::string_view(kApTable).substr(kFileTablePrefix.size()) == kApFileName);

// Writes `agency_code` into bytes 7 and 8 of `record`, which holds at least kApPrefixLength
// bytes: what a copy of the record under that agency holds. False, with the record
// unchanged, when the code is shorter than two characters and cannot fill them; a longer
// code gives its first two.
bool ApSetAgency(unsigned char* record, std::string_view agency_code);

// The seven record types, in the run order of the steps that copy them.
inline constexpr const char* kApRecordTypes[] = {"009", "006", "003", "005", "008", "002", "007"};

// record_type + "000" + agency_code: the first eight bytes of every record of that type
// and agency (shorter when a part is short, and then no record carries it).
std::string ApKeyPrefix(const std::string& record_type, const std::string& agency_code);

// Whether `record` begins with the eight-byte prefix of `record_type` and `agency_code`.
// A prefix shorter than eight bytes never matches. The comparison is byte-exact (a zero
// byte inside the first eight ends the record's text, as the copy reads it).
bool ApRecordHasPrefix(const unsigned char* record, uint32_t length, const std::string& record_type,
                       const std::string& agency_code);

// The destination's records of a type are removed with:
//   "Delete from zz_data_ap where Index0Col like '<type>000<code>%'"
// with the code's '%', '_' and '\' escaped, so it matches that code literally.
std::string ApClearStatement(const std::string& record_type, const std::string& agency_code);

// The condition of the clear alone ("Index0Col like '...'"), for counting what it removes.
std::string ApClearCondition(const std::string& record_type, const std::string& agency_code);

// SELECT COUNT(*) of the records the clear of `record_type` and `agency_code` removes.
std::string ApCountStatement(const std::string& record_type, const std::string& agency_code);

// The records whose first eight bytes are the prefix, as (Index0Col, RecData) in key order.
std::string ApReadStatement(const std::string& record_type, const std::string& agency_code);

// The records whose key the clear of `record_type` and `agency_code` would remove, as
// (Index0Col, RecData) in key order: what a backup keeps.
std::string ApReadClearedStatement(const std::string& record_type, const std::string& agency_code);

// The records an ap copy of `record_type` from `from_code` to `to_code` meets: its scan
// starts after the first key greater than the source's prefix and takes every record that
// begins with it, and the ap clear of the destination ran first. A condition for the
// statements below.
std::string ApScanCondition(const std::string& record_type, const std::string& from_code,
                            const std::string& to_code);

// (tag, COUNT(*), bytes of key and data together, the longest record's length) of the
// records matching `condition` (the clear's or the scan's). `tag` is a number that names the row
// when several such selects are joined with UNION ALL.
std::string ApMeasureStatement(const std::string& condition, std::size_t tag);

// The first record (in key order) matching `condition` that is longer than kApRecordLength,
// as (tag, Index0Col, LENGTH(RecData), HEX(Index0Col)); no row when there is none. In
// parentheses, so that several join with UNION ALL each keeping its own LIMIT.
std::string ApFirstLongStatement(const std::string& condition, std::size_t tag);

// `condition` limited to the records whose key sorts before the key given in hex.
std::string ApBeforeKeyCondition(const std::string& condition, const std::string& hex_key);

// The columns the record store keeps a record file in (key 0, then the record), which the
// ap table must have for a run.
std::vector<std::string> ApTableColumns();

// The column list head of a multi-row insert into the ap table, up to the first "(" of
// the values: "INSERT INTO zz_data_ap (Index0Col, RecData) VALUES ".
std::string ApInsertHead();

// "(0x<key>, 0x<data>)", one row of an insert into the ap table (an empty value is '').
std::string ApInsertRow(std::string_view key, std::string_view data);

// A key for a message: between single quotes, printable ASCII as it is, other bytes as \xNN.
std::string PrintableKey(std::string_view key);

}  // namespace recstore
