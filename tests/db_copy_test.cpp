// The copy engine against the private server: exact statement texts and exact copies.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "copy/table_copy.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "tests/test_db.h"

namespace {

using copy::AllTables;
using copy::ColumnDesc;
using copy::TableDesc;
using copy::ValueForm;
using testing_support::ScratchDatabase;

using Value = std::optional<std::string>;  // nullopt is NULL

// Text values that have broken or altered statements: quotes, backslashes (one at the end),
// line breaks, LIKE wildcards, and characters beyond one byte, an emoji among them.
const std::vector<std::string> kTexts = {
    "O'Neil",
    "C:\\dir\\sub",
    "ends in \\",
    "say \"hi\"",
    "line1\r\nline2",
    "50%_off",
    "Ren\xC3\xA9"
    "e M\xC3\xBCller",
    "smile \xF0\x9F\x98\x80",
    "It's \\' mixed",
    "plain",
};
const std::vector<std::string> kIntegers = {"0", "1001", "-17", "2147483647", "-2147483648"};
const std::vector<std::string> kAmounts = {"12.5", "15", "-3.25", "0.0001", "123456789012345.6789"};
const std::vector<std::string> kFlags = {"1", "0", "2", "0", "1"};
constexpr int kFilledRows = 5;  // then one row with every named column NULL
// A multi-row bound no table of these tests reaches.
constexpr std::size_t kMultiRowBytes = std::size_t{1} << 20;

// Rows of one table as the server returns them, columns found without regard to case.
struct Rows {
  std::vector<std::string> names;
  std::vector<std::vector<Value>> rows;

  Value Get(std::size_t row, std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i].size() == name.size() &&
          std::equal(name.begin(), name.end(), names[i].begin(),
                     [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
        return rows.at(row)[i];
      }
    }
    ADD_FAILURE() << "no column " << name;
    return std::nullopt;
  }

  bool Has(std::string_view name) const {
    for (const std::string& n : names) {
      if (n == name) {
        return true;
      }
    }
    return false;
  }
};

class CopyTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { scratch_ = std::make_unique<ScratchDatabase>("kcopy"); }

  static void TearDownTestSuite() { scratch_.reset(); }

  void SetUp() override { Attach(*scratch_); }

  // Empties `database` and makes it the one the queries and the data-loading connection use.
  void Attach(const ScratchDatabase& database) {
    seed_ = std::make_unique<db::Connection>(database.settings());
    for (const TableDesc& table : AllTables()) {
      seed_->Execute("DELETE FROM " + table.table);
    }
    seed_->Execute("DELETE FROM zz_data_ap");
    connection_ = std::make_unique<db::Connection>(database.settings());
    connection_->SetObserver([this](std::string_view sql) { statements_.emplace_back(sql); });
    select_ = std::make_unique<db::Query>(*connection_, "FDQuery1");
    insert_ = std::make_unique<db::Query>(*connection_, "AddQuery");
    statements_.clear();
    statuses_.clear();
    ap_calls_.clear();
    progress_.clear();
    sinks_.clear();
  }

  // A copy whose rows go one by one (multi_row_bytes 0), in multi-row statements of that
  // bound, or with `bulk` as arrays of values; with `carried`, a table's last insert leads
  // the next table's first request.
  copy::CopyContext Context(const std::string& from, const std::string& to,
                            std::size_t multi_row_bytes = 0, bool bulk = false,
                            copy::CarriedInsert* carried = nullptr) {
    if (multi_row_bytes == 0) {
      sinks_.push_back(std::make_unique<copy::StepByStepSink>(*insert_));
    } else if (bulk) {
      sinks_.push_back(std::make_unique<copy::BulkSink>(*connection_, multi_row_bytes, carried));
    } else {
      sinks_.push_back(
          std::make_unique<copy::MultiRowSink>(*connection_, multi_row_bytes, carried));
    }
    return copy::CopyContext{
        .select_query = *select_,
        .from_code = from,
        .to_code = to,
        .clear_existing = true,
        .status = [this](std::string_view text) { statuses_.emplace_back(text); },
        .copy_ap =
            [this](const std::string& f, const std::string& t, const std::string& type) {
              ap_calls_.emplace_back(f, t, type);
              return uint64_t{0};
            },
        .progress = [this](uint64_t done, uint64_t total) { progress_.emplace_back(done, total); },
        .sink = *sinks_.back(),
    };
  }

  std::string Literal(const Value& value) {
    return value ? "'" + seed_->EscapeBytes(*value) + "'" : "NULL";
  }

  // Inserts one row: (column, value) pairs with AgyCode first.
  void Seed(const std::string& table, const std::vector<std::pair<std::string, Value>>& cells) {
    std::string names;
    std::string values;
    for (const auto& [name, value] : cells) {
      names += (names.empty() ? "`" : ", `") + name + "`";
      values += (values.empty() ? "" : ", ") + Literal(value);
    }
    seed_->Execute("INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")");
  }

  // Fills `table` for agency `code` with the edge values, row by row, and one NULL row.
  void SeedEdgeRows(const TableDesc& table, const std::string& code) {
    bool has_memo = ReadRows(table.table, "").Has("Memo");
    std::size_t text_cell = 0;
    for (int row = 0; row <= kFilledRows; ++row) {
      std::vector<std::pair<std::string, Value>> cells = {{"AgyCode", code}};
      if (has_memo) {
        cells.emplace_back("Memo", "source memo");
      }
      for (const ColumnDesc& column : table.columns) {
        Value value;
        std::size_t pick = static_cast<std::size_t>(row);
        switch (column.form) {
          case ValueForm::kDestCode:
            continue;
          case ValueForm::kLiteral:
            // The source's own value must not reach the destination.
            cells.emplace_back(column.insert_name, "0");
            continue;
          case ValueForm::kQuoted:
          case ValueForm::kEscaped:
            value = kTexts[text_cell++ % kTexts.size()];
            break;
          case ValueForm::kInteger:
            value = kIntegers[pick % kIntegers.size()];
            break;
          case ValueForm::kFloat:
            value = kAmounts[pick % kAmounts.size()];
            break;
          case ValueForm::kFlag:
            value = kFlags[pick % kFlags.size()];
            break;
        }
        cells.emplace_back(column.source_name, row == kFilledRows ? Value() : value);
      }
      Seed(table.table, cells);
    }
  }

  // One plain row, for agencies whose rows must vanish or stay untouched.
  void SeedPlainRow(const TableDesc& table, const std::string& code, const std::string& text) {
    std::vector<std::pair<std::string, Value>> cells = {{"AgyCode", code}};
    for (const ColumnDesc& column : table.columns) {
      if (column.form == ValueForm::kQuoted || column.form == ValueForm::kEscaped) {
        cells.emplace_back(column.source_name, text);
      }
    }
    Seed(table.table, cells);
  }

  Rows ReadRows(const std::string& table, const std::string& code) {
    std::string sql = "SELECT * FROM " + table;
    sql += code.empty() ? " LIMIT 0" : " WHERE AgyCode = '" + code + "' ORDER BY RowID";
    db::Result result = seed_->Query(sql);
    Rows rows;
    for (std::size_t i = 0; i < result.FieldCount(); ++i) {
      rows.names.push_back(result.FieldName(i));
    }
    for (; !result.Eof(); result.Next()) {
      std::vector<Value> row;
      for (std::size_t i = 0; i < result.FieldCount(); ++i) {
        row.push_back(result.IsNull(i) ? Value() : Value(std::string(result.Value(i))));
      }
      rows.rows.push_back(std::move(row));
    }
    return rows;
  }

  int64_t Count(const std::string& table, const std::string& code) {
    return static_cast<int64_t>(ReadRows(table, code).rows.size());
  }

  std::vector<std::string> Inserts() const {
    std::vector<std::string> inserts;
    for (const std::string& sql : statements_) {
      if (sql.rfind("Insert", 0) == 0) {
        inserts.push_back(sql);
      }
    }
    return inserts;
  }

  // Every source row of `table` has its copy under "02", in order, with the named columns
  // equal under the forms' rules and the unnamed ones at their defaults.
  void ExpectExactCopy(const TableDesc& table, const Rows& source) {
    SCOPED_TRACE(table.method);
    Rows dest = ReadRows(table.table, "02");
    ASSERT_EQ(source.rows.size(), dest.rows.size());
    for (std::size_t r = 0; r < dest.rows.size(); ++r) {
      SCOPED_TRACE("row " + std::to_string(r));
      for (const ColumnDesc& column : table.columns) {
        SCOPED_TRACE(column.insert_name);
        Value got = dest.Get(r, column.insert_name);
        ASSERT_TRUE(got.has_value());
        Value src = column.source_name.empty() ? Value() : source.Get(r, column.source_name);
        switch (column.form) {
          case ValueForm::kDestCode:
            EXPECT_EQ("02", *got);
            break;
          case ValueForm::kLiteral:
            EXPECT_EQ(column.literal, *got);
            break;
          case ValueForm::kQuoted:
          case ValueForm::kEscaped:
            EXPECT_EQ(src.value_or(""), *got);
            break;
          case ValueForm::kInteger:
            EXPECT_EQ(src.value_or("0"), *got);
            break;
          case ValueForm::kFloat:
            // Both sides are the server's DECIMAL(19,4) text, so equality is exactness.
            EXPECT_EQ(src.value_or("0.0000"), *got);
            break;
          case ValueForm::kFlag:
            EXPECT_EQ(src && *src != "0" ? "1" : "0", *got);
            break;
        }
      }
      EXPECT_NE(source.Get(r, "RowID"), dest.Get(r, "RowID"));
      if (dest.Has("Memo")) {
        EXPECT_EQ("unset", dest.Get(r, "Memo").value_or("NULL"));
      }
    }
  }

  // Seeds every table (source 01, old destination rows 02, bystander 03), copies them all
  // in run order and checks each copy.
  void CopyAllAndVerify(std::size_t multi_row_bytes, bool batched = false) {
    std::vector<Rows> sources;
    std::vector<Rows> bystanders;
    for (const TableDesc& table : AllTables()) {
      SeedEdgeRows(table, "01");
      SeedPlainRow(table, "02", "old destination row");
      SeedPlainRow(table, "02", "another old one");
      SeedPlainRow(table, "03", "bystander");
      sources.push_back(ReadRows(table.table, "01"));
      bystanders.push_back(ReadRows(table.table, "03"));
    }
    copy::CarriedInsert carried;
    copy::CopyContext context =
        Context("01", "02", multi_row_bytes, false, batched ? &carried : nullptr);
    if (batched) {
      // Stands in for the ap copy's first read: a statement of its own and its answer.
      context.ap_first_read = [](const std::string& from, const std::string& type) {
        return "SELECT '" + from + "/" + type + "'";
      };
      context.ap_read_answer = [this](std::string statement, db::Result answer) {
        ap_reads_.push_back(statement + " -> " + std::string(answer.Value(0)));
      };
    }
    for (const TableDesc& table : AllTables()) {
      copy::TableCopyStats stats = copy::CopyTable(table, context);
      EXPECT_EQ(2u, stats.rows_deleted) << table.method;
      EXPECT_EQ(6u, stats.rows_selected) << table.method;
      EXPECT_EQ(6u, stats.rows_inserted) << table.method;
    }
    carried.Send(*connection_);
    for (std::size_t i = 0; i < AllTables().size(); ++i) {
      const TableDesc& table = AllTables()[i];
      ExpectExactCopy(table, sources[i]);
      EXPECT_EQ(sources[i].rows, ReadRows(table.table, "01").rows) << table.method;
      EXPECT_EQ(bystanders[i].rows, ReadRows(table.table, "03").rows) << table.method;
    }
    std::vector<std::string> expected_statuses;
    for (const TableDesc& table : AllTables()) {
      expected_statuses.push_back(table.status_text);
    }
    EXPECT_EQ(expected_statuses, statuses_);
    using Call = std::tuple<std::string, std::string, std::string>;
    EXPECT_EQ((std::vector<Call>{{"01", "02", "009"},
                                 {"01", "02", "006"},
                                 {"01", "02", "003"},
                                 {"01", "02", "005"},
                                 {"01", "02", "008"},
                                 {"01", "02", "002"},
                                 {"01", "02", "007"}}),
              ap_calls_);
  }

  static std::unique_ptr<ScratchDatabase> scratch_;
  std::unique_ptr<db::Connection> seed_;  // seeds and reads, unobserved
  std::unique_ptr<db::Connection> connection_;
  std::unique_ptr<db::Query> select_;
  std::unique_ptr<db::Query> insert_;
  std::vector<std::string> statements_;
  std::vector<std::string> statuses_;
  std::vector<std::tuple<std::string, std::string, std::string>> ap_calls_;
  std::vector<std::pair<uint64_t, uint64_t>> progress_;
  std::vector<std::string> ap_reads_;
  std::vector<std::unique_ptr<copy::InsertSink>> sinks_;  // the contexts' sinks
};

std::unique_ptr<ScratchDatabase> CopyTest::scratch_;

TEST_F(CopyTest, BankExampleSendsExactTexts) {
  Seed("Bank", {{"AgyCode", "01"},
                {"Number", "FNB"},
                {"Name", "First National"},
                {"AlphaCode", "FIRST"},
                {"Address1", "100 Main St"},
                {"Address2", ""},
                {"City", "Springfield"},
                {"State", "IL"},
                {"ZipCode", "62701"},
                {"Phone", "217-555-0100"},
                {"Fax", ""},
                {"Email", ""},
                {"NextCheck", "1001"},
                {"InactiveAcct", "0"}});
  copy::CopyTable(copy::TableByMethod("CopyBanks"), Context("01", "02"));
  EXPECT_EQ((std::vector<std::string>{
                "Delete from Bank where AgyCode = '02'",
                "Delete from zz_data_ap where Index0Col like '00900002%'",
                "Select * from Bank where AgyCode = '01'",
                "Insert into Bank (AgyCode, Number, Name, AlphaCode, Address1, address2, City, "
                "State, ZipCode, Phone, Fax, Email, NextCheck, InactiveAcct) Values ('02', 'FNB', "
                "'First National', 'FIRST', '100 Main St', '', 'Springfield', 'IL', '62701', "
                "'217-555-0100', '', '', 1001, 1)"}),
            statements_);
  EXPECT_EQ(std::vector<std::string>{"Banks"}, statuses_);
  EXPECT_EQ(1, Count("Bank", "02"));
}

TEST_F(CopyTest, TransactionExampleSendsExactTexts) {
  Seed("Trans", {{"AgyCode", "01"}, {"Number", "NB"}, {"Name", "New Business"}, {"TrnType", "1"}});
  Seed("Trans", {{"AgyCode", "01"}, {"Number", "XX"}, {"Name", "O'Neil"}, {"TrnType", "-2"}});
  Seed("Trans", {{"AgyCode", "01"}, {"Number", "NL"}, {"Name", std::nullopt}, {"TrnType", {}}});
  copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02"));
  EXPECT_EQ((std::vector<std::string>{
                "Delete from Trans where AgyCode = '02'",
                "Delete from zz_data_ap where Index0Col like '00700002%'",
                "Select * from Trans where AgyCode = '01'",
                "Insert Into Trans (AgyCode, Number, Name, TrnType) Values ('02', 'NB', 'New "
                "Business', 1)",
                "Insert Into Trans (AgyCode, Number, Name, TrnType) Values ('02', 'XX', "
                "'O\\'Neil', -2)",
                "Insert Into Trans (AgyCode, Number, Name, TrnType) Values ('02', 'NL', '', 0)"}),
            statements_);
}

TEST_F(CopyTest, CompanyFlagsAndAmountTexts) {
  Seed("Company", {{"AgyCode", "01"},
                   {"Number", "C1"},
                   {"Name", "O'Hara"},
                   {"AgyCommision", "123456789012345.6789"},
                   {"InactiveAcct", "1"},
                   {"IsMasterCmp", "0"},
                   {"CmpRefersTo", "C0"},
                   {"fHasParentCmp", "1"}});
  copy::CopyTable(copy::TableByMethod("CopyCompany"), Context("01", "02"));
  std::vector<std::string> inserts = Inserts();
  ASSERT_EQ(1u, inserts.size());
  const std::string values = inserts[0].substr(inserts[0].find("Values (") + 8);
  // Contact to UndFax are empty (25 columns), WebSite to NYIDCode too, PolViewType is 0.
  EXPECT_EQ(
      "'02', 'C1', 'O\\'Hara', "
      "'', '', '', '', '', '', '', "          // Contact .. BalMethodCd
      "'', '', '', '', '', '', '', '', '', "  // AccAdd1 .. AccPhone
      "'', '', '', '', '', '', '', '', '', "  // UndAdd1 .. UndFax
      "123456789012345.6789, '', '', 0, '', '', '', '', '', "
      "1, 0, 'C0', 1, '')",
      values);
}

TEST_F(CopyTest, EveryTableCopiedExactly) {
  CopyAllAndVerify(0);
}

TEST_F(CopyTest, MultiRowInsertsGiveTheSameCopy) {
  CopyAllAndVerify(kMultiRowBytes);
  // Each table's six rows in one statement.
  EXPECT_EQ(AllTables().size(), Inserts().size());
}

// The clears, the select and the ap copy's first read of a table in one request: the same
// statements, the same copy, and the read's answer handed on before the ap copy.
TEST_F(CopyTest, BatchedReadsGiveTheSameCopy) {
  {
    const db::MultiStatements one_request(*connection_);
    ASSERT_TRUE(connection_->BatchesInOneRequest());
    CopyAllAndVerify(kMultiRowBytes, true);
    EXPECT_TRUE(connection_->BatchesInOneRequest());
  }
  EXPECT_EQ((std::vector<std::string>{"SELECT '01/009' -> 01/009", "SELECT '01/006' -> 01/006",
                                      "SELECT '01/003' -> 01/003", "SELECT '01/005' -> 01/005",
                                      "SELECT '01/008' -> 01/008", "SELECT '01/002' -> 01/002",
                                      "SELECT '01/007' -> 01/007"}),
            ap_reads_);
  // Every statement was sent as it would be alone, in the order it would be.
  const std::vector<std::string> batched = statements_;
  statements_.clear();
  SetUp();
  CopyAllAndVerify(kMultiRowBytes);
  std::vector<std::string> alone = statements_;
  std::vector<std::string> without_reads;
  std::copy_if(batched.begin(), batched.end(), std::back_inserter(without_reads),
               [](const std::string& sql) { return sql.rfind("SELECT '01/", 0) != 0; });
  EXPECT_EQ(alone, without_reads);
}

// Past a thousand rows a table goes as arrays of values: the copy is the same, value for
// value, as the statement texts give. A lone last row stays text, for a batching run to carry.
TEST_F(CopyTest, BulkInsertsGiveTheSameCopy) {
  std::vector<Rows> sources;
  for (const TableDesc& table : AllTables()) {
    SeedEdgeRows(table, "01");
    std::string names;
    for (const std::string& name : ReadRows(table.table, "").names) {
      if (name != "RowID") {
        names += (names.empty() ? "`" : ", `") + name + "`";
      }
    }
    // The edge rows over and over: 6 doubled 8 times is 1,536.
    for (int i = 0; i < 8; ++i) {
      seed_->Execute("INSERT INTO " + table.table + " (" + names + ") SELECT " + names + " FROM " +
                     table.table + " WHERE AgyCode = '01' ORDER BY RowID");
    }
    sources.push_back(ReadRows(table.table, "01"));
  }
  copy::CopyContext context = Context("01", "02", kMultiRowBytes, true);
  for (const TableDesc& table : AllTables()) {
    statements_.clear();
    progress_.clear();
    EXPECT_EQ(1536u, copy::CopyTable(table, context).rows_inserted) << table.method;
    const std::vector<std::string> inserts = Inserts();
    ASSERT_EQ(2u, inserts.size()) << table.method;
    EXPECT_EQ(inserts[0], inserts[1]);
    // A parameter for each value read, the destination code and the literals as text.
    std::string prepared;
    for (const ColumnDesc& column : table.columns) {
      prepared += prepared.empty() ? "" : ", ";
      prepared += column.form == ValueForm::kDestCode  ? "'02'"
                  : column.form == ValueForm::kLiteral ? column.literal
                                                       : "?";
    }
    EXPECT_EQ(table.insert_text + prepared + table.closing_text, inserts[0]);
    EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{1000, 1536}, {1536, 1536}}), progress_);
  }
  for (std::size_t i = 0; i < AllTables().size(); ++i) {
    ExpectExactCopy(AllTables()[i], sources[i]);
  }

  seed_->Execute(
      "DELETE FROM Trans WHERE AgyCode = '01' AND RowID NOT IN (SELECT RowID FROM (SELECT "
      "RowID FROM Trans WHERE AgyCode = '01' ORDER BY RowID LIMIT 1001) AS kept)");
  statements_.clear();
  EXPECT_EQ(1001u, copy::CopyTable(copy::TableByMethod("CopyTransaction"), context).rows_inserted);
  const std::vector<std::string> inserts = Inserts();
  ASSERT_EQ(2u, inserts.size());
  EXPECT_EQ("Insert Into Trans (AgyCode, Number, Name, TrnType) Values ('02', ?, ?, ?)",
            inserts[0]);
  EXPECT_EQ(0u, inserts[1].rfind("Insert Into Trans (AgyCode, Number, Name, TrnType) Values "
                                 "('02', '"))
      << inserts[1];
}

TEST_F(CopyTest, EmptySourceStillClearsAndCopiesApRecords) {
  for (const TableDesc& table : AllTables()) {
    SeedPlainRow(table, "02", "old destination row");
  }
  copy::CopyContext context = Context("01", "02");
  for (const TableDesc& table : AllTables()) {
    SCOPED_TRACE(table.method);
    statements_.clear();
    ap_calls_.clear();
    progress_.clear();
    copy::TableCopyStats stats = copy::CopyTable(table, context);
    EXPECT_EQ(0, Count(table.table, "02"));
    EXPECT_EQ(1u, stats.rows_deleted);
    EXPECT_EQ(0u, stats.rows_inserted);
    EXPECT_TRUE(Inserts().empty());
    std::vector<std::string> expected = {table.clear_text + "'02'"};
    if (!table.ap_record_type.empty()) {
      expected.push_back("Delete from zz_data_ap where Index0Col like '" + table.ap_record_type +
                         "00002%'");
    }
    expected.push_back(table.select_text + "'01'");
    EXPECT_EQ(expected, statements_);
    using Call = std::tuple<std::string, std::string, std::string>;
    std::vector<Call> expected_calls;
    if (!table.ap_record_type.empty()) {
      expected_calls.emplace_back("01", "02", table.ap_record_type);
    }
    EXPECT_EQ(expected_calls, ap_calls_);
    EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}}), progress_);
  }
}

TEST_F(CopyTest, ApClearDeletesOnlyTheDestinationsRecordsOfThatType) {
  for (const char* key : {"00900002A", "00900002B", "00900001A", "00600002A", "00900003A",
                          "0090000_A", "00800002A"}) {
    Seed("zz_data_ap", {{"Index0Col", key}, {"RecData", "x"}});
  }
  copy::TableCopyStats stats =
      copy::CopyTable(copy::TableByMethod("CopyBanks"), Context("01", "02"));
  EXPECT_EQ(2u, stats.ap_deleted);
  EXPECT_EQ("0",
            scratch_->Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE '00900002%'"));
  EXPECT_EQ("5", scratch_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));

  // A wildcard in the code is matched literally: only the "0_" records go.
  stats = copy::CopyTable(copy::TableByMethod("CopyBanks"), Context("01", "0_"));
  EXPECT_EQ(1u, stats.ap_deleted);
  EXPECT_EQ("4", scratch_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
  EXPECT_EQ("1", scratch_->Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col = '00900001A'"));
}

TEST_F(CopyTest, ProgressEveryThousandRowsAndAfterTheLast) {
  std::string sql = "INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ";
  for (int i = 0; i < 2500; ++i) {
    sql += (i == 0 ? "" : ", ") + std::string("('01', 'N") + std::to_string(i) + "', 'x', 1)";
  }
  seed_->Execute(sql);
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {1000, 2500}, {2000, 2500}, {2500, 2500}};
  copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02"));
  EXPECT_EQ(expected, progress_);
  progress_.clear();
  copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02", kMultiRowBytes));
  EXPECT_EQ(expected, progress_);
  EXPECT_EQ(2500, Count("Trans", "02"));

  // A last row on a thousand is reported once.
  seed_->Execute(
      "DELETE FROM Trans WHERE AgyCode = '01' AND RowID > (SELECT MIN(RowID) + 1999 "
      "FROM (SELECT RowID FROM Trans WHERE AgyCode = '01') AS s)");
  progress_.clear();
  copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02", kMultiRowBytes));
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{1000, 2000}, {2000, 2000}}), progress_);
}

// Tables altered on purpose get a database of their own, so the shared one stays intact.
class DamagedTableTest : public CopyTest {
 protected:
  void SetUp() override {
    damaged_ = std::make_unique<ScratchDatabase>("kcopyx");
    Attach(*damaged_);
  }

  // Source rows N1 .. N<count> of the transaction codes, named "row <i>", type <i>.
  void SeedNumberedTrans(int count) {
    for (int i = 1; i <= count; ++i) {
      Seed("Trans", {{"AgyCode", "01"},
                     {"Number", "N" + std::to_string(i)},
                     {"Name", "row " + std::to_string(i)},
                     {"TrnType", std::to_string(i)}});
    }
  }

  // The destination's copy of row `number` is refused with "<number> is refused".
  void RefuseTransNumber(const std::string& number) {
    seed_->Execute("CREATE TRIGGER Trans_No" + number +
                   " BEFORE INSERT ON Trans FOR EACH ROW IF NEW.AgyCode = '02' AND NEW.Number = '" +
                   number + "' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = '" + number +
                   " is refused'; END IF");
  }

  void TearDown() override {
    select_.reset();
    insert_.reset();
    connection_.reset();
    seed_.reset();
    damaged_.reset();
  }

  std::unique_ptr<ScratchDatabase> damaged_;
};

TEST_F(DamagedTableTest, MissingColumnStopsAfterTheClear) {
  seed_->Execute("ALTER TABLE Trans DROP COLUMN TrnType");
  Seed("Trans", {{"AgyCode", "01"}, {"Number", "NB"}, {"Name", "New Business"}});
  Seed("Trans", {{"AgyCode", "02"}, {"Number", "OLD"}});
  try {
    copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02"));
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_STREQ("FDQuery1: Field 'TrnType' not found", error.what());
  }
  EXPECT_EQ(0, Count("Trans", "02"));
  EXPECT_TRUE(Inserts().empty());
  EXPECT_TRUE(ap_calls_.empty());
}

TEST_F(DamagedTableTest, MissingFlagColumnIsNamedFirst) {
  seed_->Execute("ALTER TABLE Company DROP COLUMN Name, DROP COLUMN fHasParentCmp");
  Seed("Company", {{"AgyCode", "01"}, {"Number", "C1"}});
  for (std::size_t multi_row_bytes : {std::size_t{0}, kMultiRowBytes}) {
    try {
      copy::CopyTable(copy::TableByMethod("CopyCompany"), Context("01", "02", multi_row_bytes));
      FAIL() << "no error";
    } catch (const db::Error& error) {
      EXPECT_STREQ("FDQuery1: Field 'fHasParentCmp' not found", error.what());
    }
  }
  EXPECT_TRUE(Inserts().empty());
}

TEST_F(DamagedTableTest, FailingStatementInABatchIsNamed) {
  // Only the destination's third row breaks the rule, so the source itself can hold it.
  seed_->Execute(
      "ALTER TABLE Trans ADD CONSTRAINT Trans_Small CHECK (AgyCode <> '02' OR TrnType < 3)");
  SeedNumberedTrans(4);
  try {
    copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02", kMultiRowBytes));
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_EQ("Insert Into Trans (AgyCode, Number, Name, TrnType) Values ('02', 'N3', 'row 3', 3)",
              error.statement());
    EXPECT_NE(std::string::npos, std::string(error.what()).find("Trans_Small"));
  }
  // The statements before the failing one have taken effect, as unbatched ones would.
  EXPECT_EQ(2, Count("Trans", "02"));
  EXPECT_TRUE(ap_calls_.empty());
}

// A table's last insert rides in the next table's first request; when it fails there, it
// is still the earlier table's failure, named by its row, and the later table never starts.
TEST_F(DamagedTableTest, CarriedInsertFailsAsTheTableItCameFrom) {
  seed_->Execute(
      "ALTER TABLE Trans ADD CONSTRAINT Trans_Small CHECK (AgyCode <> '02' OR TrnType < 3)");
  SeedNumberedTrans(4);
  Seed("Vendor", {{"AgyCode", "02"}, {"Number", "OLD"}});
  const db::MultiStatements one_request(*connection_);
  int carried_failures = 0;
  copy::CarriedInsert carried([&carried_failures] { ++carried_failures; });
  copy::CopyContext context = Context("01", "02", kMultiRowBytes, false, &carried);

  const copy::TableCopyStats trans =
      copy::CopyTable(copy::TableByMethod("CopyTransaction"), context);
  EXPECT_EQ(4u, trans.rows_inserted);
  ASSERT_FALSE(carried.empty());
  EXPECT_EQ(0, Count("Trans", "02"));  // not sent yet
  try {
    copy::CopyTable(copy::TableByMethod("CopyVendor"), context);
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_EQ("Insert Into Trans (AgyCode, Number, Name, TrnType) Values ('02', 'N3', 'row 3', 3)",
              error.statement());
  }
  EXPECT_EQ(1, carried_failures);
  EXPECT_TRUE(carried.empty());
  // Nothing of the vendors' step ran.
  EXPECT_EQ(1, Count("Vendor", "02"));
  EXPECT_EQ(2, Count("Trans", "02"));  // outside a transaction the rows before the culprit stay

  // When the carried insert goes in, the next table's request goes on as one.
  seed_->Execute("DELETE FROM Trans WHERE AgyCode = '02'");
  seed_->Execute("ALTER TABLE Trans DROP CONSTRAINT Trans_Small");
  statuses_.clear();
  copy::CopyTable(copy::TableByMethod("CopyTransaction"), context);
  const copy::TableCopyStats vendor = copy::CopyTable(copy::TableByMethod("CopyVendor"), context);
  EXPECT_EQ(1u, vendor.rows_deleted);
  EXPECT_EQ(0, carried_failures - 1);
  EXPECT_EQ((std::vector<std::string>{"Transaction Codes", "Vendors"}), statuses_);
  EXPECT_EQ(4, Count("Trans", "02"));
  EXPECT_TRUE(carried.empty());  // the vendors had no rows to leave
}

// Rows of the multi-row statements in `inserts`, each statement's count.
std::vector<std::size_t> RowsPerStatement(const std::vector<std::string>& inserts) {
  std::vector<std::size_t> rows;
  for (const std::string& sql : inserts) {
    std::size_t count = 1;
    for (std::size_t at = sql.find("), ("); at != std::string::npos;
         at = sql.find("), (", at + 1)) {
      ++count;
    }
    rows.push_back(count);
  }
  return rows;
}

TEST_F(CopyTest, MultiRowStatementJoinsTheSingleRowValues) {
  for (const TableDesc& table : AllTables()) {
    SeedEdgeRows(table, "01");
  }
  for (const TableDesc& table : AllTables()) {
    SCOPED_TRACE(table.method);
    statements_.clear();
    copy::CopyTable(table, Context("01", "02"));
    const std::vector<std::string> single = Inserts();
    ASSERT_EQ(6u, single.size());
    std::string expected = table.insert_text;
    for (std::size_t r = 0; r < single.size(); ++r) {
      const std::string& row = single[r];
      ASSERT_EQ(0u, row.rfind(table.insert_text, 0));
      ASSERT_TRUE(row.ends_with(table.closing_text));
      expected += (r == 0 ? "" : "), (") +
                  row.substr(table.insert_text.size(),
                             row.size() - table.insert_text.size() - table.closing_text.size());
    }
    expected += table.closing_text;

    statements_.clear();
    copy::TableCopyStats stats = copy::CopyTable(table, Context("01", "02", kMultiRowBytes));
    EXPECT_EQ(std::vector<std::string>{expected}, Inserts());
    EXPECT_EQ(6u, stats.rows_inserted);
    EXPECT_EQ(6, Count(table.table, "02"));
  }
  // The one closing text with a blank ends the whole statement, not each row.
  statements_.clear();
  copy::CopyTable(copy::TableByMethod("CopyAdditionalInterests"),
                  Context("01", "02", kMultiRowBytes));
  ASSERT_EQ(1u, Inserts().size());
  EXPECT_TRUE(Inserts()[0].ends_with("') "));
  EXPECT_EQ(std::string::npos, Inserts()[0].find(") , ("));
}

TEST_F(CopyTest, BoundSplitsATableIntoStatements) {
  std::string sql = "INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ";
  for (int i = 0; i < 2500; ++i) {
    sql += (i == 0 ? "" : ", ") + std::string("('01', 'N") + std::to_string(i) + "', 'x', 1)";
  }
  seed_->Execute(sql);
  const TableDesc& table = copy::TableByMethod("CopyTransaction");
  const std::vector<std::pair<uint64_t, uint64_t>> expected_progress = {
      {1000, 2500}, {2000, 2500}, {2500, 2500}};

  copy::CopyTable(table, Context("01", "02"));
  const std::vector<std::string> single = Inserts();
  ASSERT_EQ(2500u, single.size());

  // Values of some 25 bytes: a few dozen rows fit the bound.
  constexpr std::size_t kBound = 1000;
  statements_.clear();
  progress_.clear();
  copy::CopyTable(table, Context("01", "02", kBound));
  std::vector<std::string> inserts = Inserts();
  for (const std::string& insert : inserts) {
    EXPECT_LE(insert.size(), kBound);
    EXPECT_EQ(0u, insert.rfind(table.insert_text, 0));
  }
  std::size_t rows = 0;
  for (std::size_t count : RowsPerStatement(inserts)) {
    rows += count;
  }
  EXPECT_EQ(2500u, rows);
  EXPECT_GT(inserts.size(), 2500u / 100);
  EXPECT_LT(inserts.size(), 2500u / 10);
  EXPECT_EQ(expected_progress, progress_);
  EXPECT_EQ(2500, Count("Trans", "02"));

  // With the bound out of reach, a statement ends at every thousandth row.
  statements_.clear();
  progress_.clear();
  copy::CopyTable(table, Context("01", "02", kMultiRowBytes));
  EXPECT_EQ((std::vector<std::size_t>{1000, 1000, 500}), RowsPerStatement(Inserts()));
  EXPECT_EQ(expected_progress, progress_);

  // A row longer than the bound goes alone, as its single-row statement.
  statements_.clear();
  copy::CopyTable(table, Context("01", "02", 10));
  EXPECT_EQ(single, Inserts());
  EXPECT_EQ(2500, Count("Trans", "02"));
}

// A table in several multi-row statements: each goes while the next rows are made. A failing
// one is still found and named by its row before anything later is sent, and what went
// before stays; a statement in flight never leaves the session out of step.
TEST_F(DamagedTableTest, StatementInFlightFailsAsIfSentAlone) {
  RefuseTransNumber("N7");
  SeedNumberedTrans(12);
  const std::string head = "Insert Into Trans (AgyCode, Number, Name, TrnType) Values (";
  // Three rows a statement: N7 is the first of the third.
  const std::size_t bound = head.size() + 3 * 30;
  connection_->Execute("START TRANSACTION");
  statements_.clear();
  try {
    copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02", bound));
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_EQ(head + "'02', 'N7', 'row 7', 7)", error.statement());
    EXPECT_STREQ("N7 is refused", error.what());
  }
  EXPECT_EQ(6,
            std::stoi(std::string(
                connection_->Query("SELECT COUNT(*) FROM Trans WHERE AgyCode = '02'").Value(0))));
  // Nothing after the failing statement was sent but its rows one by one up to the culprit.
  const std::vector<std::string> inserts = Inserts();
  ASSERT_FALSE(inserts.empty());
  EXPECT_EQ(head + "'02', 'N7', 'row 7', 7)", inserts.back());
  for (const std::string& insert : inserts) {
    EXPECT_EQ(std::string::npos, insert.find("'N10'")) << insert;
  }
  connection_->Execute("ROLLBACK");
  EXPECT_EQ(0, Count("Trans", "02"));

  // Started and not yet answered, the next call takes the answer first: the session stays in
  // step, and the started statement's failure is the one that call reports.
  connection_->Start("INSERT INTO Trans (AgyCode, Number) VALUES ('02', 'N7')");
  EXPECT_TRUE(connection_->HasStarted());
  try {
    connection_->Query("SELECT 1");
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_STREQ("N7 is refused", error.what());
  }
  EXPECT_FALSE(connection_->HasStarted());
  connection_->Start("INSERT INTO Trans (AgyCode, Number) VALUES ('02', 'N8')");
  EXPECT_EQ(1u, connection_->FinishStarted());
  EXPECT_EQ(0u, connection_->FinishStarted());
  EXPECT_EQ(
      "1",
      std::string(connection_->Query("SELECT COUNT(*) FROM Trans WHERE AgyCode = '02'").Value(0)));
}

TEST_F(DamagedTableTest, FailingRowOfAMultiRowStatementIsNamedInsideTheTransaction) {
  RefuseTransNumber("N3");
  SeedNumberedTrans(5);
  const std::string head = "Insert Into Trans (AgyCode, Number, Name, TrnType) Values (";
  connection_->Execute("START TRANSACTION");
  statements_.clear();
  try {
    copy::CopyTable(copy::TableByMethod("CopyTransaction"), Context("01", "02", kMultiRowBytes));
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_EQ(head + "'02', 'N3', 'row 3', 3)", error.statement());
    EXPECT_STREQ("N3 is refused", error.what());
  }
  ASSERT_EQ(9u, statements_.size());
  EXPECT_EQ(head +
                "'02', 'N1', 'row 1', 1), ('02', 'N2', 'row 2', 2), ('02', 'N3', 'row 3', 3), "
                "('02', 'N4', 'row 4', 4), ('02', 'N5', 'row 5', 5)",
            statements_[3]);
  EXPECT_EQ(
      (std::vector<std::string>{"SAVEPOINT kelvane_rows", head + "'02', 'N1', 'row 1', 1)",
                                head + "'02', 'N2', 'row 2', 2)", head + "'02', 'N3', 'row 3', 3)",
                                "RELEASE SAVEPOINT kelvane_rows"}),
      std::vector<std::string>(statements_.begin() + 4, statements_.end()));
  // The transaction goes on, holding the rows before the failing one, and rolls back whole.
  EXPECT_EQ(
      "2",
      std::string(connection_->Query("SELECT COUNT(*) FROM Trans WHERE AgyCode = '02'").Value(0)));
  connection_->Execute("ROLLBACK");
  EXPECT_EQ(0, Count("Trans", "02"));
  EXPECT_EQ(5, Count("Trans", "01"));
}

// A row refused inside a bulk insert is named by its own statement, and what went before it
// stays in the transaction, as when every row went on its own.
TEST_F(DamagedTableTest, FailingRowOfABulkInsertIsNamedInsideTheTransaction) {
  RefuseTransNumber("N1500");
  std::string sql = "INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ";
  for (int i = 1; i <= 2500; ++i) {
    sql += (i == 1 ? "" : ", ") + std::string("('01', 'N") + std::to_string(i) + "', 'row " +
           std::to_string(i) + "', " + std::to_string(i) + ")";
  }
  seed_->Execute(sql);
  copy::CopyContext context = Context("01", "02", kMultiRowBytes, true);
  const std::string head = "Insert Into Trans (AgyCode, Number, Name, TrnType) Values (";
  connection_->Execute("START TRANSACTION");
  statements_.clear();
  try {
    copy::CopyTable(copy::TableByMethod("CopyTransaction"), context);
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_EQ(head + "'02', 'N1500', 'row 1500', 1500)", error.statement());
    EXPECT_STREQ("N1500 is refused", error.what());
  }
  // The first thousand went in one bulk insert, the second failed whole and went again row
  // by row up to the culprit; nothing after it was sent.
  const std::vector<std::string> inserts = Inserts();
  ASSERT_EQ(2u + 500u, inserts.size());
  EXPECT_EQ(head + "'02', ?, ?, ?)", inserts[0]);
  EXPECT_EQ(head + "'02', ?, ?, ?)", inserts[1]);
  EXPECT_EQ(head + "'02', 'N1001', 'row 1001', 1001)", inserts[2]);
  EXPECT_EQ(head + "'02', 'N1500', 'row 1500', 1500)", inserts.back());
  EXPECT_EQ(
      "1499",
      std::string(connection_->Query("SELECT COUNT(*) FROM Trans WHERE AgyCode = '02'").Value(0)));
  connection_->Execute("ROLLBACK");
  EXPECT_EQ(0, Count("Trans", "02"));
}

}  // namespace
