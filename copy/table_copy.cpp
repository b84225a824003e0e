// The one routine that copies any described table from one agency to another.
#include "copy/table_copy.h"

#include <optional>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/multi_row_insert.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

namespace {

constexpr uint64_t kProgressEvery = 1000;

}  // namespace

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

namespace {

// The column of the current row at `place`, or found by name (which throws when missing).
db::Field FieldAt(const ColumnDesc& column, const db::Query& row,
                  const std::optional<std::size_t>& place) {
  return place ? db::Field(row.result(), *place) : row.FieldByName(column.source_name);
}

// The value a column reads from the row, before it is written as a literal ("" for the
// destination code and the literals, which read nothing).
std::string RawAt(const ColumnDesc& column, const db::Query& row,
                  const std::optional<std::size_t>& place) {
  switch (column.form) {
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      return FieldAt(column, row, place).AsString();
    case ValueForm::kInteger:
      return std::to_string(FieldAt(column, row, place).AsInteger());
    case ValueForm::kFloat:
      return FormatCurrency(FieldAt(column, row, place).AsCurrency());
    case ValueForm::kFlag:
      return FieldAt(column, row, place).AsBoolean() ? "1" : "0";
    case ValueForm::kDestCode:
    case ValueForm::kLiteral:
      break;
  }
  return {};
}

std::string FormatAt(const ColumnDesc& column, const db::Query& row, const std::string& to_code,
                     const std::optional<std::size_t>& place) {
  switch (column.form) {
    case ValueForm::kDestCode:
      return db::QuotedText(to_code);
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      // Quoted text is escaped too: the columns so formed should hold no quote, but one
      // that does must not leave the statement malformed.
      return db::QuotedText(RawAt(column, row, place));
    case ValueForm::kLiteral:
      return column.literal;
    case ValueForm::kInteger:
    case ValueForm::kFloat:
    case ValueForm::kFlag:
      break;
  }
  return RawAt(column, row, place);
}

// How a column's value travels in a prepared insert: as the literal it is written as.
std::optional<db::ParamType> ParamOf(ValueForm form) {
  switch (form) {
    case ValueForm::kQuoted:
    case ValueForm::kEscaped:
      return db::ParamType::kText;
    case ValueForm::kInteger:
    case ValueForm::kFlag:
      return db::ParamType::kInteger;
    case ValueForm::kFloat:
      return db::ParamType::kDecimal;
    case ValueForm::kDestCode:
    case ValueForm::kLiteral:
      break;
  }
  return std::nullopt;
}

}  // namespace

std::string FormatColumn(const ColumnDesc& column, const db::Query& row,
                         const std::string& to_code) {
  return FormatAt(column, row, to_code, std::nullopt);
}

ColumnPlaces PlacesOf(const TableDesc& table, const db::Query& row) {
  ColumnPlaces places;
  places.reserve(table.columns.size());
  for (const ColumnDesc& column : table.columns) {
    places.push_back(row.IsOpen() ? row.result().FindField(column.source_name) : std::nullopt);
  }
  return places;
}

std::string BuildValues(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places) {
  const auto place = [places](std::size_t i) {
    return places != nullptr ? (*places)[i] : std::nullopt;
  };
  // The flags are read before any other column of the row, so that when a column is
  // missing, a missing flag column is the one the error names.
  std::vector<std::string> values(table.columns.size());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form == ValueForm::kFlag) {
      values[i] = FormatAt(table.columns[i], row, to_code, place(i));
    }
  }
  std::string text;
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (i > 0) {
      text += ", ";
    }
    if (table.columns[i].form != ValueForm::kFlag) {
      values[i] = FormatAt(table.columns[i], row, to_code, place(i));
    }
    text += values[i];
  }
  return text;
}

std::vector<db::InsertValue> InsertValues(const TableDesc& table, const std::string& to_code) {
  std::vector<db::InsertValue> values;
  values.reserve(table.columns.size());
  for (const ColumnDesc& column : table.columns) {
    if (const auto param = ParamOf(column.form)) {
      values.push_back(db::InsertValue{param});
    } else {
      values.push_back(db::InsertValue{std::nullopt, column.form == ValueForm::kDestCode
                                                         ? db::QuotedText(to_code)
                                                         : column.literal});
    }
  }
  return values;
}

void BuildParams(const TableDesc& table, const db::Query& row, const ColumnPlaces& places,
                 std::vector<std::string>& params) {
  params.clear();
  std::vector<std::size_t> param_of(table.columns.size());
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (ParamOf(table.columns[i].form)) {
      param_of[i] = params.size();
      params.emplace_back();
    }
  }
  // In BuildValues' order, so a missing column gives the same error.
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form == ValueForm::kFlag) {
      params[param_of[i]] = RawAt(table.columns[i], row, places[i]);
    }
  }
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].form != ValueForm::kFlag && ParamOf(table.columns[i].form)) {
      params[param_of[i]] = RawAt(table.columns[i], row, places[i]);
    }
  }
}

std::string BuildInsert(const TableDesc& table, const db::Query& row, const std::string& to_code,
                        const ColumnPlaces* places) {
  return table.insert_text + BuildValues(table, row, to_code, places) + table.closing_text;
}

std::string ClearStatement(const TableDesc& table, const std::string& to_code) {
  return table.clear_text + db::QuotedText(to_code);
}

std::string ApClearStatement(const TableDesc& table, const std::string& to_code) {
  if (table.ap_record_type.empty()) {
    return "";
  }
  return recstore::ApClearStatement(table.ap_record_type, to_code);
}

std::string CodeCondition(const TableDesc& table, const std::string& code) {
  return table.code_column + " = " + db::QuotedText(code);
}

std::string SelectStatement(const TableDesc& table, const std::string& from_code) {
  return table.select_text + db::QuotedText(from_code);
}

namespace {

// The table's clears, its select and the ap copy's first read in one request, led by the
// previous table's last insert when one is carried (the ap read's answer goes to the record
// store: nothing in between changes the records it reads). False when the carried insert
// failed and then went in row by row: nothing after it ran, so the request is to be sent
// again. A carried insert whose rows fail one by one is the previous table's failure.
bool FirstRequest(const TableDesc& table, const CopyContext& context,
                  std::optional<db::MultiRowInsert>* carried, TableCopyStats& stats) {
  db::Query& select = context.select_query;
  const bool mirrored = !table.ap_record_type.empty();
  const bool carrying = carried != nullptr && carried->has_value() && (*carried)->size() > 0;
  std::vector<std::string> statements;
  if (carrying) {
    statements.push_back((*carried)->Statement());
  }
  const std::size_t first = statements.size();
  if (context.clear_existing) {
    statements.push_back(ClearStatement(table, context.to_code));
    if (mirrored) {
      statements.push_back(ApClearStatement(table, context.to_code));
    }
  }
  const std::size_t select_index = statements.size();
  statements.push_back(SelectStatement(table, context.from_code));
  select.SetSql(statements.back());
  std::string ap_read;
  if (mirrored && context.copy_ap && context.ap_first_read && context.ap_read_answer) {
    ap_read = context.ap_first_read(context.from_code, table.ap_record_type);
  }
  if (!ap_read.empty()) {
    statements.push_back(ap_read);
  }
  bool carried_in = !carrying;
  try {
    select.connection().RunBatch(statements,
                                 [&](std::size_t index, db::Result* rows, uint64_t affected) {
                                   if (index < first) {
                                     (*carried)->Sent();
                                     carried_in = true;
                                   } else if (rows != nullptr && index == select_index) {
                                     select.Hold(statements[index], std::move(*rows));
                                   } else if (rows != nullptr) {
                                     context.ap_read_answer(ap_read, std::move(*rows));
                                   } else if (index == first) {
                                     stats.rows_deleted = affected;
                                   } else {
                                     stats.ap_deleted = affected;
                                   }
                                 });
  } catch (const db::Error& error) {
    if (carried_in) {
      throw;
    }
    try {
      (*carried)->Failed(select.connection(), error);
    } catch (...) {
      carried->reset();
      if (context.carried_failed) {
        context.carried_failed();
      }
      throw;
    }
    carried->reset();
    return false;
  }
  if (carrying) {
    carried->reset();
  }
  if (!select.IsOpen()) {
    throw db::Error("The select returned no rows to read", 0, "", statements[select_index]);
  }
  return true;
}

}  // namespace

TableCopyStats CopyTable(const TableDesc& table, const CopyContext& context) {
  TableCopyStats stats;
  db::Query& select = context.select_query;
  db::Query& insert = context.insert_query;
  const bool mirrored = !table.ap_record_type.empty();
  const std::size_t bound = context.multi_row_bytes;

  const bool batching = context.batch_reads && select.connection().BatchesInOneRequest();
  std::optional<db::MultiRowInsert>* const carried =
      context.carried != nullptr && bound > 0 ? context.carried : nullptr;
  if (context.status) {
    context.status(table.status_text);
  }
  if (batching) {
    // Sent again when the carried insert failed and then went in row by row: nothing of this
    // table's request ran.
    while (!FirstRequest(table, context, carried, stats)) {
    }
  } else {
    if (carried != nullptr && carried->has_value()) {
      (*carried)->Send(insert.connection());
      carried->reset();
    }
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
  }
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

  db::MultiRowInsert statement(table.insert_text, table.closing_text, bound, "kelvane_rows");
  // A multi-row statement goes without waiting for the server: the next rows are made while
  // it inserts these, and its answer is taken before anything else is sent.
  uint64_t started_rows = 0;
  auto start = [&] {
    const uint64_t rows = statement.size();
    stats.rows_inserted += statement.Start(insert.connection());
    started_rows = rows;
    report(false);
  };
  // The answer of a statement under way, its progress shown.
  auto finish = [&] {
    stats.rows_inserted += statement.FinishStarted(insert.connection());
    started_rows = 0;
    report(false);
  };
  auto flush = [&] {
    finish();
    stats.rows_inserted += statement.Send(insert.connection());
    report(false);
  };

  // Batching, the table's last statement is left for the next request to carry.
  const bool leave_last = batching && carried != nullptr;
  // A table of more rows than one statement takes goes in bulk, when the server takes it,
  // all but a lone last row, which rides along with the next request as text.
  std::optional<db::BulkInsert> bulk;
  uint64_t bulk_until = 0;
  if (bound > 0 && context.bulk_rows && stats.rows_selected > kProgressEvery &&
      insert.connection().TakesBulkInserts()) {
    bulk.emplace(table.insert_text, InsertValues(table, context.to_code), table.closing_text, bound,
                 "kelvane_rows");
    bulk_until =
        stats.rows_selected % kProgressEvery == 1 ? stats.rows_selected - 1 : stats.rows_selected;
  }
  auto send_bulk = [&] {
    stats.rows_inserted += bulk->Send(insert.connection());
    report(false);
  };
  std::vector<std::string> params;
  uint64_t rows_read = 0;
  const ColumnPlaces places = PlacesOf(table, select);
  while (!select.Eof()) {
    ++rows_read;
    if (rows_read <= bulk_until) {
      try {
        BuildParams(table, select, places, params);
      } catch (...) {
        send_bulk();
        throw;
      }
      std::size_t bytes = 0;
      for (const std::string& param : params) {
        bytes += param.size();
      }
      if (!bulk->Fits(bytes)) {
        send_bulk();
      }
      bulk->Add(params);
      // Ends where progress is due, as a multi-row statement does, and with the last row.
      if ((stats.rows_inserted + bulk->size()) % kProgressEvery == 0 || rows_read == bulk_until) {
        send_bulk();
      }
    } else if (bound == 0) {
      insert.SetSql(BuildInsert(table, select, context.to_code, &places));
      insert.ExecSQL();
      ++stats.rows_inserted;
      report(false);
    } else {
      std::string values;
      try {
        values = BuildValues(table, select, context.to_code, &places);
      } catch (...) {
        // The rows before the failing one are inserted, so a failed copy leaves the same
        // rows whichever way the inserts were sent.
        flush();
        throw;
      }
      if (!statement.Fits(values)) {
        start();
      }
      statement.Add(values);
      // Statements end where progress is due, so it comes as in single-row mode.
      if ((stats.rows_inserted + started_rows + statement.size()) % kProgressEvery == 0 &&
          !(leave_last && rows_read == stats.rows_selected)) {
        start();
      }
    }
    select.Next();
  }
  if (leave_last && statement.size() > 0) {
    finish();
    // Counted now: should it fail, the run fails with it.
    stats.rows_inserted += statement.size();
    carried->emplace(std::move(statement));
  } else {
    flush();
  }
  report(true);

  // Also when the select found no rows: the ap records are a copy of their own.
  if (mirrored && context.copy_ap) {
    stats.ap_copied = context.copy_ap(context.from_code, context.to_code, table.ap_record_type);
  }
  return stats;
}

}  // namespace copy
