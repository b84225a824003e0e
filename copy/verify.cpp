// Checks after a run that the destination holds exactly what a correct copy produces.
#include "copy/verify.h"

#include <cstdio>
#include <map>
#include <utility>

#include "copy/table_copy.h"
#include "copy/wording.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

using Tuple = std::vector<std::string>;

constexpr const char* kNullText = "<NULL>";  // a literal column left NULL

// Source rows as the inserts of a correct copy carry them. FormatColumn is the engine's
// own value-form code, so the comparison follows the copy's rules without restating them.
std::vector<Tuple> ReadSource(db::Connection& connection, const TableDesc& desc,
                              const std::string& from_code, const std::string& to_code) {
  db::Query query(connection, "VerifySource");
  query.SetSql(SelectStatement(desc, from_code));
  query.Open();
  std::vector<Tuple> rows;
  for (; !query.Eof(); query.Next()) {
    Tuple row;
    for (const ColumnDesc& column : desc.columns) {
      row.push_back(FormatColumn(column, query, to_code));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// Destination rows in the same shape. Values are read under the insert's column names,
// since that is where the copy put them; the code and the literals are not read by the
// copy, so they are checked here and stand in the tuple as the source side has them.
std::vector<Tuple> ReadDestination(db::Connection& connection, const TableDesc& desc,
                                   const std::string& to_code) {
  db::Query query(connection, "VerifyDestination");
  query.SetSql(SelectStatement(desc, to_code));
  query.Open();
  std::vector<Tuple> rows;
  for (; !query.Eof(); query.Next()) {
    Tuple row;
    for (const ColumnDesc& column : desc.columns) {
      switch (column.form) {
        case ValueForm::kDestCode: {
          // The select's comparison may follow the column's collation ('ab' = 'AB'); the
          // copy writes the code byte for byte.
          std::string code = query.FieldByName(column.insert_name).AsString();
          row.push_back(code == to_code ? FormatColumn(column, query, to_code)
                                        : db::QuotedText(code));
          break;
        }
        case ValueForm::kLiteral: {
          db::Field field = query.FieldByName(column.insert_name);
          row.push_back(field.IsNull() ? kNullText : field.AsString());
          break;
        }
        case ValueForm::kQuoted:
        case ValueForm::kEscaped:
        case ValueForm::kInteger:
        case ValueForm::kFloat:
        case ValueForm::kFlag: {
          ColumnDesc written = column;
          written.source_name = column.insert_name;
          row.push_back(FormatColumn(written, query, to_code));
          break;
        }
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The column that names a row in a report: the first one copied from the source.
std::size_t KeyColumn(const TableDesc& desc) {
  for (std::size_t i = 0; i < desc.columns.size(); ++i) {
    if (desc.columns[i].form != ValueForm::kDestCode &&
        desc.columns[i].form != ValueForm::kLiteral) {
      return i;
    }
  }
  return 0;
}

std::string RowName(const TableDesc& desc, std::size_t key, const Tuple& row) {
  return "row " + desc.columns[key].insert_name + " " + row[key];
}

// The first unmatched row in select order: a source row first (what the destination
// misses or holds altered), else a destination row the source does not have.
std::string FirstDifference(const TableDesc& desc, const std::vector<Tuple>& source,
                            const std::vector<Tuple>& destination, std::map<Tuple, long>& balance) {
  const std::size_t key = KeyColumn(desc);
  for (const Tuple& row : source) {
    if (balance[row] <= 0) {
      continue;
    }
    for (const Tuple& other : destination) {
      if (balance[other] >= 0 || other[key] != row[key]) {
        continue;
      }
      std::string text = RowName(desc, key, row) + ":";
      const char* separator = " ";
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i] != other[i]) {
          text +=
              separator + desc.columns[i].insert_name + " is " + other[i] + ", expected " + row[i];
          separator = "; ";
        }
      }
      return text;
    }
    return RowName(desc, key, row) + " is missing from the destination";
  }
  for (const Tuple& row : destination) {
    if (balance[row] < 0) {
      return RowName(desc, key, row) + " is not in the source";
    }
  }
  return "";
}

VerifyLine VerifyTable(db::Connection& connection, const TableDesc& desc,
                       const std::string& from_code, const std::string& to_code) {
  std::vector<Tuple> source = ReadSource(connection, desc, from_code, to_code);
  std::vector<Tuple> destination = ReadDestination(connection, desc, to_code);
  std::map<Tuple, long> balance;
  for (const Tuple& row : source) {
    ++balance[row];
  }
  for (const Tuple& row : destination) {
    --balance[row];
  }
  bool same = true;
  for (const auto& entry : balance) {
    same = same && entry.second == 0;
  }
  if (same) {
    return {desc.table, true, Quantity(source.size(), "row", "rows")};
  }
  return {desc.table, false,
          "source " + Quantity(source.size(), "row", "rows") + ", destination " +
              Quantity(destination.size(), "row", "rows") + "; " +
              FirstDifference(desc, source, destination, balance)};
}

// The records of the type and agency by key 0, read as the store holds them.
std::map<std::string, std::string> ReadApRecords(db::Connection& connection,
                                                 const std::string& record_type,
                                                 const std::string& agency_code) {
  std::map<std::string, std::string> records;
  db::Result result = connection.Query(recstore::ApReadStatement(record_type, agency_code));
  for (; !result.Eof(); result.Next()) {
    std::string data(result.Value(1));
    records.emplace(data.substr(0, recstore::kKeyLength), std::move(data));
  }
  return records;
}

VerifyLine VerifyApRecords(db::Connection& connection, const std::string& record_type,
                           const std::string& from_code, const std::string& to_code) {
  const std::string subject = "ap " + record_type;
  std::map<std::string, std::string> expected;
  // A destination code of fewer than two bytes cannot fill bytes 7 and 8: a correct copy
  // copies nothing then.
  if (to_code.size() >= 2) {
    for (auto& [key, data] : ReadApRecords(connection, record_type, from_code)) {
      std::string copy = data;
      copy[6] = to_code[0];
      copy[7] = to_code[1];
      expected.emplace(copy.substr(0, recstore::kKeyLength), std::move(copy));
    }
  }
  std::map<std::string, std::string> found =
      ReadApRecords(connection, record_type, to_code.substr(0, 2));

  std::string difference;
  auto want = expected.begin();
  auto have = found.begin();
  while (difference.empty() && (want != expected.end() || have != found.end())) {
    if (have == found.end() || (want != expected.end() && want->first < have->first)) {
      difference =
          "record " + recstore::PrintableKey(want->first) + " is missing from the destination";
      if (want->second.size() > recstore::kApRecordLength) {
        difference +=
            " (it is longer than " + std::to_string(recstore::kApRecordLength) + " bytes)";
      }
    } else if (want == expected.end() || have->first < want->first) {
      difference = "record " + recstore::PrintableKey(have->first) + " is not in the source";
    } else if (want->second != have->second) {
      difference = "record " + recstore::PrintableKey(want->first) + " differs from its source";
    } else {
      ++want;
      ++have;
    }
  }
  if (difference.empty()) {
    return {subject, true, Quantity(expected.size(), "record", "records")};
  }
  return {subject, false,
          "source " + Quantity(expected.size(), "record", "records") + ", destination " +
              Quantity(found.size(), "record", "records") + "; " + difference};
}

}  // namespace

std::vector<VerifyLine> VerifyRun(db::Connection& connection, const std::vector<TableDesc>& tables,
                                  const std::string& from_code, const std::string& to_code) {
  std::vector<VerifyLine> lines;
  for (const TableDesc& desc : tables) {
    lines.push_back(VerifyTable(connection, desc, from_code, to_code));
    if (!desc.ap_record_type.empty()) {
      lines.push_back(VerifyApRecords(connection, desc.ap_record_type, from_code, to_code));
    }
  }
  return lines;
}

std::string DescribeVerify(const VerifyLine& line) {
  return line.subject + (line.ok ? ": ok, " : ": DIFFERS, ") + line.detail;
}

}  // namespace copy
