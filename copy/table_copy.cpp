// The one routine that copies any described table from one agency to another.
#include "copy/table_copy.h"

#include <optional>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"

namespace copy {

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

// The statements of a table's first request, in order, and where its parts stand.
struct FirstStatements {
  std::vector<std::string> texts;
  std::size_t first = 0;   // the first of the table's own (after a carried insert)
  std::size_t select = 0;  // the select's
  std::string ap_read;     // the ap copy's first read, "" when none goes
};

FirstStatements FirstRequestStatements(const TableDesc& table, const CopyContext& context,
                                       const CarriedInsert& carried) {
  const bool mirrored = !table.ap_record_type.empty();
  FirstStatements request;
  if (!carried.empty()) {
    request.texts.push_back(carried.Statement());
  }
  request.first = request.texts.size();
  if (context.clear_existing) {
    request.texts.push_back(ClearStatement(table, context.to_code));
    if (mirrored) {
      request.texts.push_back(ApClearStatement(table, context.to_code));
    }
  }
  request.select = request.texts.size();
  request.texts.push_back(SelectStatement(table, context.from_code));
  if (mirrored && context.copy_ap && context.ap_first_read && context.ap_read_answer) {
    request.ap_read = context.ap_first_read(context.from_code, table.ap_record_type);
  }
  if (!request.ap_read.empty()) {
    request.texts.push_back(request.ap_read);
  }
  return request;
}

// The table's clears, its select and the ap copy's first read in one request, led by the
// previous table's last insert when one is carried (the ap read's answer goes to the record
// store: nothing in between changes the records it reads). False when the carried insert
// failed and then went in row by row: nothing after it ran, so the request is to be sent
// again. A carried insert whose rows fail one by one is the previous table's failure.
bool FirstRequest(const TableDesc& table, const CopyContext& context, CarriedInsert& carried,
                  TableCopyStats& stats) {
  db::Query& select = context.select_query;
  FirstStatements request = FirstRequestStatements(table, context, carried);
  select.SetSql(request.texts[request.select]);
  bool carried_in = carried.empty();
  try {
    select.connection().RunBatch(request.texts,
                                 [&](std::size_t index, db::Result* rows, uint64_t affected) {
                                   if (index < request.first) {
                                     carried.Sent();
                                     carried_in = true;
                                   } else if (rows != nullptr && index == request.select) {
                                     select.Hold(request.texts[index], std::move(*rows));
                                   } else if (rows != nullptr) {
                                     context.ap_read_answer(request.ap_read, std::move(*rows));
                                   } else if (index == request.first) {
                                     stats.rows_deleted = affected;
                                   } else {
                                     stats.ap_deleted = affected;
                                   }
                                 });
  } catch (const db::Error& error) {
    if (carried_in) {
      throw;
    }
    carried.Failed(select.connection(), error);
    return false;
  }
  if (!select.IsOpen()) {
    throw db::Error("The select returned no rows to read", 0, "", request.texts[request.select]);
  }
  return true;
}

// The clears and the select one by one on the select query, as the original sends them,
// after any insert the table before left.
void ReadsOneByOne(const TableDesc& table, const CopyContext& context, TableCopyStats& stats) {
  db::Query& select = context.select_query;
  if (CarriedInsert* carried = context.sink.carried()) {
    carried->Send(select.connection());
  }
  if (context.clear_existing) {
    select.SetSql(ClearStatement(table, context.to_code));
    stats.rows_deleted = select.ExecSQL();
    if (!table.ap_record_type.empty()) {
      select.SetSql(ApClearStatement(table, context.to_code));
      stats.ap_deleted = select.ExecSQL();
    }
  }
  select.SetSql(SelectStatement(table, context.from_code));
  select.Open();
}

}  // namespace

TableCopyStats CopyTable(const TableDesc& table, const CopyContext& context) {
  TableCopyStats stats;
  db::Query& select = context.select_query;
  if (context.status) {
    context.status(table.status_text);
  }
  CarriedInsert* const carried = context.sink.carried();
  if (carried != nullptr && select.connection().BatchesInOneRequest()) {
    // Sent again when the carried insert failed and then went in row by row: nothing of this
    // table's request ran.
    while (!FirstRequest(table, context, *carried, stats)) {
    }
  } else {
    ReadsOneByOne(table, context, stats);
  }
  stats.rows_selected = select.RecordCount();

  InsertCount count(stats.rows_selected, context.progress);
  context.sink.Begin(table, context.to_code, select, count);
  for (; !select.Eof(); select.Next()) {
    context.sink.Add(select);
  }
  context.sink.End();
  count.Last();
  stats.rows_inserted = count.inserted();

  // Also when the select found no rows: the ap records are a copy of their own.
  if (!table.ap_record_type.empty() && context.copy_ap) {
    stats.ap_copied = context.copy_ap(context.from_code, context.to_code, table.ap_record_type);
  }
  return stats;
}

}  // namespace copy
