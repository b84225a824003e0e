// What the program knows of the suite's ap record file.
#include "recstore/ap_file.h"

#include <algorithm>
#include <cstdio>

#include "db/sql_text.h"

namespace recstore {

namespace {

using db::QuotedText;

// The code as LIKE reads it literally: "%", "_" and "\" would otherwise be wildcards or
// escapes, and the clear would delete other agencies' records.
std::string LikeLiteral(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') {
      result += '\\';
    }
    result += c;
  }
  return result;
}

// The condition that a record's first kApPrefixLength bytes are `quoted_prefix`.
std::string PrefixCondition(const std::string& quoted_prefix) {
  return "LEFT(RecData, " + std::to_string(kApPrefixLength) + ") = " + quoted_prefix;
}

}  // namespace

std::string ApKeyPrefix(const std::string& record_type, const std::string& agency_code) {
  return record_type + "000" + agency_code;
}

bool ApSetAgency(unsigned char* record, std::string_view agency_code) {
  if (agency_code.size() < kApAgencyLength) {
    return false;
  }
  std::copy_n(agency_code.begin(), kApAgencyLength, record + kApAgencyOffset);
  return true;
}

bool ApRecordHasPrefix(const unsigned char* record, uint32_t length, const std::string& record_type,
                       const std::string& agency_code) {
  const std::string prefix = ApKeyPrefix(record_type, agency_code);
  if (prefix.size() != kApPrefixLength || record == nullptr) {
    return false;
  }
  // The record's first eight characters as the copy has always read them: up to a zero
  // byte, blank-padded, never past the bytes the read delivered.
  const auto width = static_cast<int32_t>(std::min<uint32_t>(length, kApPrefixLength));
  return Pad(ZarCatStr(reinterpret_cast<const char*>(record), width),
             static_cast<int32_t>(kApPrefixLength)) == prefix;
}

std::string ApClearCondition(const std::string& record_type, const std::string& agency_code) {
  return "Index0Col like " + QuotedText(record_type + "000" + LikeLiteral(agency_code) + "%");
}

std::string ApClearStatement(const std::string& record_type, const std::string& agency_code) {
  return std::string("Delete from ") + kApTable + " where " +
         ApClearCondition(record_type, agency_code);
}

std::string ApCountStatement(const std::string& record_type, const std::string& agency_code) {
  return std::string("SELECT COUNT(*) FROM ") + kApTable + " WHERE " +
         ApClearCondition(record_type, agency_code);
}

std::string ApReadStatement(const std::string& record_type, const std::string& agency_code) {
  return std::string("SELECT Index0Col, RecData FROM ") + kApTable + " WHERE " +
         PrefixCondition(QuotedText(ApKeyPrefix(record_type, agency_code))) + " ORDER BY Index0Col";
}

std::string ApReadClearedStatement(const std::string& record_type, const std::string& agency_code) {
  return std::string("SELECT Index0Col, RecData FROM ") + kApTable + " WHERE " +
         ApClearCondition(record_type, agency_code) + " ORDER BY Index0Col";
}

std::string ApScanCondition(const std::string& record_type, const std::string& from_code,
                            const std::string& to_code) {
  const std::string key = QuotedText(ApKeyPrefix(record_type, from_code));
  return PrefixCondition(key) + " AND Index0Col > " + key + " AND NOT (" +
         ApClearCondition(record_type, to_code) + ")";
}

std::string ApMeasureStatement(const std::string& condition, std::size_t tag) {
  return "SELECT " + std::to_string(tag) +
         ", COUNT(*), IFNULL(SUM(LENGTH(Index0Col) + LENGTH(RecData)), 0), "
         "IFNULL(MAX(LENGTH(RecData)), 0) FROM " +
         kApTable + " WHERE " + condition;
}

std::string ApFirstLongStatement(const std::string& condition, std::size_t tag) {
  return "(SELECT " + std::to_string(tag) + ", Index0Col, LENGTH(RecData), HEX(Index0Col) FROM " +
         kApTable + " WHERE " + condition + " AND LENGTH(RecData) > " +
         std::to_string(kApRecordLength) + " ORDER BY Index0Col LIMIT 1)";
}

std::string ApBeforeKeyCondition(const std::string& condition, const std::string& hex_key) {
  return condition + " AND Index0Col < X'" + hex_key + "'";
}

std::vector<std::string> ApTableColumns() {
  return {"Index0Col", "RecData"};
}

std::string ApInsertHead() {
  return InsertHead(kApTable);
}

std::string ApInsertRow(std::string_view key, std::string_view data) {
  return "(" + RowValues(key, data) + ")";
}

std::string PrintableKey(std::string_view key) {
  std::string text = "'";
  for (char c : key) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned int>(byte));
      text += escaped;
    }
  }
  return text + "'";
}

}  // namespace recstore
