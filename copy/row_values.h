// How a source row becomes the values of its insert, in each column's value form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "copy/table_desc.h"
#include "db/bulk_insert.h"

namespace db {
class Query;
}  // namespace db

namespace copy {

// Where each column of `table` stands in `row`'s result (nullopt where it is missing), found
// once for a whole result: looking every value up by name is a copy's largest cost on the
// client. Reading with them gives the same texts and the same errors as by name.
using ColumnPlaces = std::vector<std::optional<std::size_t>>;
ColumnPlaces PlacesOf(const TableDesc& table, const db::Query& row);

// What each column's value is in a prepared insert of `table` (db::BulkInsert): fixed text
// for the destination code and the literals, a parameter for every column read.
std::vector<db::InsertValue> InsertValues(const TableDesc& table, const std::string& to_code);

// The parameter values of the current row, in the order of InsertValues' parameters, read
// as BuildValues reads them (the flags first, the same errors); each is its literal in
// BuildValues before quoting.
void BuildParams(const TableDesc& table, const db::Query& row, const ColumnPlaces& places,
                 std::vector<std::string>& params);

// The value `column` reads from the current row of `row` at `place` (found by its source
// name when nullopt), as BuildParams gives it: before it is written as a literal; "" for the
// destination code and the literals, which read nothing. Throws db::Error as the readers do.
std::string RawValue(const ColumnDesc& column, const db::Query& row,
                     const std::optional<std::size_t>& place);

// The insert text for the current row of `row` (a stored result standing on a row):
// table.insert_text + BuildValues + table.closing_text. Throws db::Error as FieldByName.
std::string BuildInsert(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places = nullptr);

// The values of the current row's insert, joined by ", ": what lies between the table's
// insert_text and closing_text, in single-row and multi-row statements alike. Flags are read
// first, then the other columns in order. Throws db::Error as FieldByName and the Field
// readers do ("Cannot access field 'X' as type Integer").
std::string BuildValues(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places = nullptr);

// The float form of a currency amount in ten-thousandths: exact decimal, full stop,
// trailing zeros dropped ("12.5", "15", "-3.25", "0.0001").
std::string FormatCurrency(int64_t ten_thousandths);

}  // namespace copy
