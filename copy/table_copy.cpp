// The one routine that copies any described table from one agency to another.
#include "copy/table_copy.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

constexpr uint64_t kProgressEvery = 1000;

// Every text that goes between single quotes, codes included, is escaped first: a quote
// or backslash in a value must neither break the statement nor be stored altered.
std::string QuotedText(const std::string& text) {
  return QuoteString(EscapeString(text));
}

// What goes between two rows of a multi-row insert: the end of one row's values and the
// start of the next, as the table's own "... Values (" and ")" frame the first and last.
constexpr std::string_view kRowSeparator = "), (";

// Server errors after which sending the rows again one by one would be wrong or useless: a
// deadlock has rolled back the whole transaction (rows sent now would land outside it), and
// a lock wait would only be waited for again, row by row.
constexpr unsigned int kErLockDeadlock = 1213;
constexpr unsigned int kErLockWaitTimeout = 1205;

bool LeavesNothingToResend(const db::Error& error) {
  return error.IsConnectionLost() || error.code() == kErLockDeadlock ||
         error.code() == kErLockWaitTimeout;
}

// The rows of one multi-row insert: the statement text so far and where each row's values
// lie in it, so that the rows of a failed statement can be sent again one by one with
// exactly the texts of their single-row statements.
class MultiRowInsert {
 public:
  MultiRowInsert(const TableDesc& table, std::size_t bound) : table_(table), bound_(bound) {}

  std::size_t size() const { return rows_.size(); }

  // Whether a row with these values keeps the statement within the bound. An empty
  // statement takes any row: a row longer than the bound goes alone.
  bool Fits(std::string_view values) const {
    return rows_.empty() ||
           text_.size() + kRowSeparator.size() + values.size() + table_.closing_text.size() <=
               bound_;
  }

  void Add(std::string_view values) {
    if (rows_.empty()) {
      text_ = table_.insert_text;
    } else {
      text_ += kRowSeparator;
    }
    rows_.push_back({text_.size(), values.size()});
    text_ += values;
  }

  // Sends the rows gathered so far as one statement and starts afresh; returns how many
  // rows went in. Throws db::Error as CopyContext::multi_row_bytes describes.
  std::size_t Send(db::Connection& connection) {
    const std::size_t count = rows_.size();
    if (count == 0) {
      return 0;
    }
    text_ += table_.closing_text;
    try {
      connection.Execute(text_);
    } catch (const db::Error& error) {
      // A lone row's statement is its single-row statement already.
      if (count == 1 || LeavesNothingToResend(error)) {
        throw;
      }
      SendOneByOne(connection, error);
    }
    rows_.clear();
    return count;
  }

 private:
  struct Span {
    std::size_t offset;
    std::size_t length;
  };

  std::string SingleRow(const Span& row) const {
    std::string text = table_.insert_text;
    text.append(text_, row.offset, row.length);
    text += table_.closing_text;
    return text;
  }

  // The server rolled the failed statement back whole; sent again one by one, the rows
  // before the culprit go in, and the culprit fails with its own statement, as in
  // single-row mode. When all go in, whatever failed the statement has passed.
  void SendOneByOne(db::Connection& connection, const db::Error& failure) {
    try {
      connection.Execute("SAVEPOINT kelvane_rows");
    } catch (const db::Error&) {
      throw failure;
    }
    for (const Span& row : rows_) {
      try {
        connection.Execute(SingleRow(row));
      } catch (const db::Error& error) {
        if (!LeavesNothingToResend(error)) {
          Release(connection);
        }
        throw;
      }
    }
    Release(connection);
  }

  // Keeps the rows sent since the savepoint. Outside a transaction the savepoint was gone
  // with its own statement, which is no failure; a lost connection is.
  static void Release(db::Connection& connection) {
    try {
      connection.Execute("RELEASE SAVEPOINT kelvane_rows");
    } catch (const db::Error& error) {
      if (error.IsConnectionLost()) {
        throw;
      }
    }
  }

  const TableDesc& table_;
  const std::size_t bound_;
  std::string text_;
  std::vector<Span> rows_;
};

}  // namespace

std::size_t MultiRowLimit(db::Connection& connection) {
  constexpr std::string_view kStatement = "SELECT @@max_allowed_packet";
  db::Result result = connection.Query(kStatement);
  uint64_t packet = 0;
  std::string_view text = result.Eof() ? std::string_view() : result.Value(0);
  if (std::from_chars(text.data(), text.data() + text.size(), packet).ec != std::errc() ||
      packet == 0) {
    throw db::Error("The server's max_allowed_packet cannot be read", 0, "",
                    std::string(kStatement));
  }
  return static_cast<std::size_t>(std::min<uint64_t>(packet / 2, kMaxMultiRowBytes));
}

std::string FormatCurrency(int64_t ten_thousandths) {
  // Integer arithmetic only: the amount is exact, whatever its size, and the decimal
  // separator is a full stop whatever the locale says (a comma would split the value).
  bool negative = ten_thousandths < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ten_thousandths)
                                : static_cast<uint64_t>(ten_thousandths);
  std::string text = negative ? "-" : "";
  text += std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 4 - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    text += '.';
    text += digits;
  }
  return text;
}

std::string FormatColumn(const ColumnDesc& column, const db::Query& row,
                         const std::string& to_code) {
  switch (column.form) {
    case ValueForm::kDestCode:
      return QuotedText(to_code);
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      // Quoted text is escaped too: the columns so formed should hold no quote, but one
      // that does must not leave the statement malformed.
      return QuotedText(row.FieldByName(column.source_name).AsString());
    case ValueForm::kInteger:
      return std::to_string(row.FieldByName(column.source_name).AsInteger());
    case ValueForm::kFloat:
      return FormatCurrency(row.FieldByName(column.source_name).AsCurrency());
    case ValueForm::kFlag:
      return row.FieldByName(column.source_name).AsBoolean() ? "1" : "0";
    case ValueForm::kLiteral:
      return column.literal;
  }
  return column.literal;
}

std::string BuildValues(const TableDesc& table, const db::Query& row, const std::string& to_code) {
  // The flags are read before any other column of the row, so that when a column is
  // missing, a missing flag column is the one the error names.
  std::vector<std::string> values(table.columns.size());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form == ValueForm::kFlag) {
      values[i] = FormatColumn(table.columns[i], row, to_code);
    }
  }
  std::string text;
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (i > 0) {
      text += ", ";
    }
    if (table.columns[i].form != ValueForm::kFlag) {
      values[i] = FormatColumn(table.columns[i], row, to_code);
    }
    text += values[i];
  }
  return text;
}

std::string BuildInsert(const TableDesc& table, const db::Query& row, const std::string& to_code) {
  return table.insert_text + BuildValues(table, row, to_code) + table.closing_text;
}

std::string ClearStatement(const TableDesc& table, const std::string& to_code) {
  return table.clear_text + QuotedText(to_code);
}

std::string ApClearStatement(const TableDesc& table, const std::string& to_code) {
  if (table.ap_record_type.empty()) {
    return "";
  }
  return recstore::ApClearStatement(table.ap_record_type, to_code);
}

std::string CodeCondition(const TableDesc& table, const std::string& code) {
  return table.code_column + " = " + QuotedText(code);
}

std::string SelectStatement(const TableDesc& table, const std::string& from_code) {
  return table.select_text + QuotedText(from_code);
}

TableCopyStats CopyTable(const TableDesc& table, const CopyContext& context) {
  TableCopyStats stats;
  if (context.status) {
    context.status(table.status_text);
  }
  db::Query& select = context.select_query;
  db::Query& insert = context.insert_query;
  const bool mirrored = !table.ap_record_type.empty();
  const std::size_t bound = context.multi_row_bytes;

  if (context.clear_existing) {
    select.SetSql(ClearStatement(table, context.to_code));
    stats.rows_deleted = select.ExecSQL();
    if (mirrored) {
      select.SetSql(ApClearStatement(table, context.to_code));
      stats.ap_deleted = select.ExecSQL();
    }
  }

  select.SetSql(SelectStatement(table, context.from_code));
  select.Open();
  stats.rows_selected = select.RecordCount();

  uint64_t next_report = kProgressEvery;
  std::optional<uint64_t> last_reported;
  auto report = [&](bool last) {
    bool due = stats.rows_inserted >= next_report || (last && last_reported != stats.rows_inserted);
    if (context.progress && due) {
      context.progress(stats.rows_inserted, stats.rows_selected);
      last_reported = stats.rows_inserted;
      next_report = (stats.rows_inserted / kProgressEvery + 1) * kProgressEvery;
    }
  };

  MultiRowInsert statement(table, bound);
  auto flush = [&] {
    stats.rows_inserted += statement.Send(insert.connection());
    report(false);
  };

  while (!select.Eof()) {
    if (bound == 0) {
      insert.SetSql(BuildInsert(table, select, context.to_code));
      insert.ExecSQL();
      ++stats.rows_inserted;
      report(false);
    } else {
      std::string values;
      try {
        values = BuildValues(table, select, context.to_code);
      } catch (...) {
        // The rows before the failing one are inserted, so a failed copy leaves the same
        // rows whichever way the inserts were sent.
        flush();
        throw;
      }
      if (!statement.Fits(values)) {
        flush();
      }
      statement.Add(values);
      // Statements end where progress is due, so it comes as in single-row mode.
      if ((stats.rows_inserted + statement.size()) % kProgressEvery == 0) {
        flush();
      }
    }
    select.Next();
  }
  flush();
  report(true);

  // Also when the select found no rows: the ap records are a copy of their own.
  if (mirrored && context.copy_ap) {
    stats.ap_copied = context.copy_ap(context.from_code, context.to_code, table.ap_record_type);
  }
  return stats;
}

}  // namespace copy
