// How the record store keeps a record file in a table of the database: the names and bounds
// the store's own statements and the ap file's share, spelled once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace recstore {

// Record file NAME lives in table kFileTablePrefix + NAME, one row per record: Index0Col
// VARBINARY(255) holds key 0 and RecData VARBINARY(4096) the record's bytes exactly.
inline constexpr std::string_view kFileTablePrefix = "zz_data_";

// Key 0 of a record file: the record's first bytes, at most this many.
inline constexpr std::size_t kKeyLength = 16;

// The longest record a file holds (the width of RecData).
inline constexpr uint32_t kMaxRecordLength = 4096;

// The head of every insert into a record file's table, up to its first row:
// "INSERT INTO <table> (Index0Col, RecData) VALUES ".
std::string InsertHead(std::string_view table);

// The values of one row of such an insert, "X'<key>', X'<record>'", without parentheses.
std::string RowValues(std::string_view key, std::string_view record);

}  // namespace recstore
