// The database layer against the real server: sessions, stored results and field readers.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/bulk_insert.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/multi_row_insert.h"
#include "db/query.h"
#include "tests/test_db.h"

namespace {

using testing_support::ScratchDatabase;

class DbLayer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new ScratchDatabase("kt_layer", false);
    scratch_->Run(
        "CREATE TABLE t (id INT PRIMARY KEY, txt VARCHAR(40) NULL, num INT NULL,"
        " amt DECIMAL(19,4) NULL, wide DECIMAL(30,8) NULL, dbl DOUBLE NULL, flag TINYINT(1) NULL,"
        " bits BIT(1) NULL, word VARCHAR(10) NULL, big BIGINT NULL) CHARACTER SET utf8mb4;\n"
        "INSERT INTO t VALUES (1, 'Søren 😀', -42, -3.2500, 1.23456789, 2.5, 1, b'1', 'yes',"
        " 5000000000), (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
        " (3, 'abc', 7, 0.0001, -0.00005, -1e3, 0, b'0', 'Off', 1)");
  }

  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }

  static ScratchDatabase* scratch_;
};

ScratchDatabase* DbLayer::scratch_ = nullptr;

TEST_F(DbLayer, ConnectionOpensWithFirstStatementAndSessionIsPrepared) {
  db::Connection connection(scratch_->settings());
  EXPECT_FALSE(connection.IsOpen());
  db::Result result = connection.Query(
      "SELECT @@character_set_connection, @@sql_mode LIKE '%NO_BACKSLASH_ESCAPES%', @@autocommit");
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_EQ("utf8mb4", result.Value(0));
  EXPECT_EQ("0", result.Value(1));
  EXPECT_EQ("1", result.Value(2));
}

TEST_F(DbLayer, BackslashEscapesStayOnWhenServerSessionStartsWithoutThem) {
  // A fresh session inherits the global mode; the set-up must strip the flag from it.
  db::Connection admin(scratch_->settings());
  admin.Execute("SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')");
  db::Connection fresh(scratch_->settings());
  db::Result result = fresh.Query("SELECT 'a\\'b', @@SESSION.sql_mode");
  admin.Execute("SET GLOBAL sql_mode = REPLACE(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES', '')");
  EXPECT_EQ("a'b", result.Value(0));
  EXPECT_EQ(std::string::npos, std::string(result.Value(1)).find("NO_BACKSLASH_ESCAPES"));
}

// A session opened under the batching guard sends its set-up in front of its first request:
// prepared all the same, and unseen by the observer; a guard that goes before any statement
// leaves no session behind without its set-up.
TEST_F(DbLayer, SetUpLeadsTheFirstRequestOfABatchingSession) {
  db::Connection admin(scratch_->settings());
  admin.Execute("SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')");
  db::Connection connection(scratch_->settings());
  std::vector<std::string> seen;
  connection.SetObserver([&seen](std::string_view sql) { seen.emplace_back(sql); });
  {
    const db::MultiStatements one_request(connection);
    connection.Open();
  }
  EXPECT_FALSE(connection.IsOpen());
  std::optional<db::MultiStatements> guard;
  guard.emplace(connection);
  db::Result result =
      connection.Query("SELECT 'a\\'b', @@SESSION.sql_mode, @@SESSION.wait_timeout");
  EXPECT_EQ("a'b", result.Value(0));
  EXPECT_EQ(std::string::npos, std::string(result.Value(1)).find("NO_BACKSLASH_ESCAPES"));
  EXPECT_EQ(std::to_string(db::kSessionSilenceLimit), result.Value(2));
  EXPECT_NO_THROW(connection.Execute("DO 1"));
  guard.reset();
  admin.Execute("SET GLOBAL sql_mode = REPLACE(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES', '')");
  EXPECT_EQ(2u, seen.size());
  EXPECT_EQ(0u, seen[0].find("SELECT 'a"));
  EXPECT_EQ("7", connection.Query("SELECT 7").Value(0));
}

// Escaping follows the prepared session's rules even where its set-up waits to lead a batch:
// until the set-up has run, the library would escape by the handshake's status, which
// carries the server's global NO_BACKSLASH_ESCAPES.
TEST_F(DbLayer, EscapingFollowsTheSetUpOfABatchingSession) {
  db::Connection admin(scratch_->settings());
  admin.Execute("SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')");
  db::Connection connection(scratch_->settings());
  const db::MultiStatements batches(connection);
  const std::string value = "a\\b'c";
  const std::string escaped = connection.EscapeBytes(value);
  admin.Execute("SET GLOBAL sql_mode = REPLACE(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES', '')");
  EXPECT_EQ(value, connection.Query("SELECT '" + escaped + "'").Value(0));
}

// A value the server refuses leaves every variable as it was, not the ones before it set.
TEST_F(DbLayer, SessionVariablesAreSetAllOrNone) {
  db::Connection connection(scratch_->settings());
  connection.Execute("SET SESSION time_zone = '+05:30'");
  EXPECT_THROW(db::ScopedSessionVariables(connection,
                                          {{"time_zone", "+01:00"}, {"sql_mode", "NO_SUCH_MODE"}}),
               db::Error);
  EXPECT_EQ("+05:30", std::string(connection.Query("SELECT @@SESSION.time_zone").Value(0)));
}

TEST_F(DbLayer, ConnectFailureNamesDatabaseAndHost) {
  db::ConnectionSettings settings = scratch_->settings();
  settings.database = "no_such_database_here";
  db::Connection connection(settings);
  try {
    connection.Execute("SELECT 1");
    FAIL() << "expected a failure";
  } catch (const db::Error& e) {
    std::string text = e.what();
    EXPECT_NE(std::string::npos, text.find("no_such_database_here")) << text;
    EXPECT_NE(std::string::npos, text.find("'localhost'")) << text;
  }
  settings = scratch_->settings();
  settings.password = "wrong";
  db::Connection refused(settings);
  EXPECT_THROW(refused.Open(), db::Error);
}

TEST_F(DbLayer, StatementErrorCarriesServerTextCodeAndStatement) {
  db::Connection connection(scratch_->settings());
  try {
    connection.Execute("Delete from NoSuchTable where AgyCode = '02'");
    FAIL() << "expected a failure";
  } catch (const db::Error& e) {
    EXPECT_EQ(1146u, e.code());
    EXPECT_EQ("42S02", e.sqlstate());
    EXPECT_EQ("Delete from NoSuchTable where AgyCode = '02'", e.statement());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("NoSuchTable"));
  }
}

TEST_F(DbLayer, StoredResultAllowsStatementsWhileRowsAreRead) {
  db::Connection connection(scratch_->settings());
  connection.Execute("CREATE TEMPORARY TABLE copy_target (id INT)");
  db::Query select(connection, "FDQuery1");
  db::Query insert(connection, "AddQuery");
  select.SetSql("SELECT id FROM t ORDER BY id");
  select.Open();
  EXPECT_EQ(3u, select.RecordCount());
  int rows = 0;
  while (!select.Eof()) {
    insert.SetSql("INSERT INTO copy_target VALUES (" + select.FieldByName("ID").AsString() + ")");
    insert.ExecSQL();
    select.Next();
    ++rows;
  }
  EXPECT_EQ(3, rows);
  EXPECT_EQ("3", connection.Query("SELECT COUNT(*) FROM copy_target").Value(0));
}

TEST_F(DbLayer, FieldReadersFollowTheColumnTypes) {
  db::Connection connection(scratch_->settings());
  db::Query query(connection, "FDQuery1");
  query.SetSql("SELECT * FROM t ORDER BY id");
  query.Open();

  EXPECT_EQ("Søren 😀", query.FieldByName("TXT").AsString());
  EXPECT_EQ(-42, query.FieldByName("num").AsInteger());
  EXPECT_EQ(-32500, query.FieldByName("amt").AsCurrency());
  EXPECT_EQ(12346, query.FieldByName("wide").AsCurrency());  // 1.23456789 -> 1.2346
  EXPECT_EQ(25000, query.FieldByName("dbl").AsCurrency());
  EXPECT_TRUE(query.FieldByName("flag").AsBoolean());
  EXPECT_TRUE(query.FieldByName("bits").AsBoolean());
  EXPECT_TRUE(query.FieldByName("word").AsBoolean());
  EXPECT_THROW(query.FieldByName("big").AsInteger(), db::Error);  // beyond 32 bits

  query.Next();  // the row of NULLs
  EXPECT_TRUE(query.FieldByName("txt").IsNull());
  EXPECT_EQ("", query.FieldByName("txt").AsString());
  EXPECT_EQ(0, query.FieldByName("num").AsInteger());
  EXPECT_EQ(0, query.FieldByName("amt").AsCurrency());
  EXPECT_FALSE(query.FieldByName("flag").AsBoolean());
  EXPECT_FALSE(query.FieldByName("bits").AsBoolean());

  query.Next();
  EXPECT_EQ(1, query.FieldByName("amt").AsCurrency());
  EXPECT_EQ(-1, query.FieldByName("wide").AsCurrency());  // half away from zero
  EXPECT_EQ(-10000000, query.FieldByName("dbl").AsCurrency());
  EXPECT_FALSE(query.FieldByName("bits").AsBoolean());
  EXPECT_FALSE(query.FieldByName("word").AsBoolean());
  query.Next();
  EXPECT_TRUE(query.Eof());
}

TEST_F(DbLayer, FieldErrorsUseTheQueryNameAndTypeName) {
  db::Connection connection(scratch_->settings());
  db::Query query(connection, "FDQuery1");
  query.SetSql("SELECT * FROM t WHERE id = 3");
  query.Open();
  try {
    query.FieldByName("NextCheck");
    FAIL() << "expected a failure";
  } catch (const db::Error& e) {
    EXPECT_STREQ("FDQuery1: Field 'NextCheck' not found", e.what());
  }
  try {
    query.FieldByName("txt").AsInteger();
    FAIL() << "expected a failure";
  } catch (const db::Error& e) {
    EXPECT_STREQ("Cannot access field 'txt' as type Integer", e.what());
  }
  EXPECT_THROW(query.FieldByName("txt").AsBoolean(), db::Error);
  EXPECT_THROW(query.FieldByName("txt").AsCurrency(), db::Error);
}

TEST_F(DbLayer, BatchRunsEveryStatementAndNamesTheOneThatFails) {
  db::Connection connection(scratch_->settings());
  connection.Execute("CREATE TEMPORARY TABLE b (id INT PRIMARY KEY)");
  std::vector<std::string> seen;
  connection.SetObserver([&](std::string_view sql) { seen.emplace_back(sql); });
  EXPECT_EQ(3u, connection.ExecuteBatch({"INSERT INTO b VALUES (1)", "INSERT INTO b VALUES (2)",
                                         "INSERT INTO b VALUES (3)"}));
  EXPECT_EQ(3u, seen.size());
  try {
    connection.ExecuteBatch(
        {"INSERT INTO b VALUES (4)", "INSERT INTO b VALUES (1)", "INSERT INTO b VALUES (5)"});
    FAIL() << "expected a failure";
  } catch (const db::Error& e) {
    EXPECT_EQ(1062u, e.code());
    EXPECT_EQ("INSERT INTO b VALUES (1)", e.statement());
  }
  // The connection is usable afterwards and one statement per call is back.
  EXPECT_EQ("4", connection.Query("SELECT COUNT(*) FROM b").Value(0));
  EXPECT_THROW(connection.Execute("SELECT 1; SELECT 2"), db::Error);
}

// A batch hands back every statement's outcome in order, whether it travels as one request
// (under the guard) or one statement at a time, and a failure anywhere leaves the session
// in step for the next statement.
TEST_F(DbLayer, BatchHandsBackEachOutcomeInOrderAndStaysInStep) {
  db::Connection connection(scratch_->settings());
  connection.Execute("CREATE TEMPORARY TABLE r (id INT PRIMARY KEY, t VARCHAR(10))");
  for (bool one_request : {true, false}) {
    SCOPED_TRACE(one_request ? "one request" : "one statement at a time");
    std::optional<db::MultiStatements> guard;
    if (one_request) {
      guard.emplace(connection);
    }
    EXPECT_EQ(one_request, connection.BatchesInOneRequest());
    connection.Execute("DELETE FROM r");
    std::vector<std::string> seen;
    connection.RunBatch({"INSERT INTO r VALUES (1, 'a'), (2, 'b;c')", "SELECT t FROM r ORDER BY id",
                         "UPDATE r SET t = 'x' WHERE id = 2", "SELECT COUNT(*) FROM r"},
                        [&](std::size_t index, db::Result* rows, uint64_t affected) {
                          std::string outcome = std::to_string(index) + ":";
                          if (rows == nullptr) {
                            outcome += "affected " + std::to_string(affected);
                          }
                          for (; rows != nullptr && !rows->Eof(); rows->Next()) {
                            outcome += " " + std::string(rows->Value(0));
                          }
                          seen.push_back(outcome);
                        });
    EXPECT_EQ((std::vector<std::string>{"0:affected 2", "1: a b;c", "2:affected 1", "3: 2"}), seen);

    // A failing statement stops the batch there and is the one named.
    seen.clear();
    try {
      connection.RunBatch(
          {"DELETE FROM r WHERE id = 1", "INSERT INTO r VALUES (2, 'dup')", "DELETE FROM r"},
          [&](std::size_t index, db::Result*, uint64_t) { seen.push_back(std::to_string(index)); });
      FAIL() << "expected a failure";
    } catch (const db::Error& e) {
      EXPECT_EQ(1062u, e.code());
      EXPECT_EQ("INSERT INTO r VALUES (2, 'dup')", e.statement());
    }
    EXPECT_EQ(std::vector<std::string>{"0"}, seen);
    EXPECT_EQ("1", connection.Query("SELECT COUNT(*) FROM r").Value(0));

    // The taker's own failure: the statements sent with it have run, and the session
    // answers the next statement.
    EXPECT_THROW(connection.RunBatch({"SELECT 1", "INSERT INTO r VALUES (3, 'c')", "SELECT 3"},
                                     [](std::size_t index, db::Result*, uint64_t) {
                                       if (index == 0) {
                                         throw std::runtime_error("taker");
                                       }
                                     }),
                 std::runtime_error);
    EXPECT_EQ(one_request ? "2" : "1", connection.Query("SELECT COUNT(*) FROM r").Value(0));
    // A single statement's call never takes two, guard or not.
    EXPECT_THROW(connection.Execute("SELECT 1; SELECT 2"), db::Error);
    EXPECT_THROW(connection.Query("SELECT 1; SELECT 2"), db::Error);
    EXPECT_EQ("7", connection.Query("SELECT 7").Value(0));
  }
  // The guard gone, the session is back to one statement a request.
  EXPECT_FALSE(connection.BatchesInOneRequest());
}

TEST_F(DbLayer, KilledSessionReconnectsOnTheNextStatement) {
  db::Connection connection(scratch_->settings());
  connection.Execute("SELECT 1");
  unsigned long first = connection.ThreadId();
  db::Connection killer(scratch_->settings());
  killer.Execute("KILL " + std::to_string(first));
  EXPECT_THROW(connection.Execute("SELECT 1"), db::Error);
  EXPECT_NO_THROW(connection.Execute("SELECT 1"));
  EXPECT_NE(first, connection.ThreadId());
}

// Rows sent as arrays of values are stored byte for byte as their single-row statements,
// which write the same values as literals, store them: text of every kind, whole and exact
// decimal numbers at their limits, bytes of every value, and the fixed texts between them.
TEST_F(DbLayer, BulkInsertStoresWhatItsRowsStatementsStore) {
  db::Connection connection(scratch_->settings());
  ASSERT_TRUE(connection.TakesBulkInserts());
  const std::string columns =
      " (code CHAR(2), txt VARCHAR(40), num INT, big BIGINT, amt DECIMAL(19,4), raw VARBINARY(8),"
      " mark INT, seq INT AUTO_INCREMENT PRIMARY KEY) CHARACTER SET utf8mb4";
  connection.Execute("CREATE TEMPORARY TABLE arrays" + columns);
  connection.Execute("CREATE TEMPORARY TABLE texts" + columns);
  const auto make = [](const std::string& table) {
    return db::BulkInsert(
        "INSERT INTO " + table + " (code, txt, num, mark, big, amt, raw) VALUES (",
        {db::InsertValue{std::nullopt, "'02'"}, db::InsertValue{db::ParamType::kText},
         db::InsertValue{db::ParamType::kInteger}, db::InsertValue{std::nullopt, "1"},
         db::InsertValue{db::ParamType::kInteger}, db::InsertValue{db::ParamType::kDecimal},
         db::InsertValue{db::ParamType::kBinary}},
        ")", std::size_t{1} << 20, "test_rows");
  };
  db::BulkInsert arrays = make("arrays");
  EXPECT_EQ(
      "INSERT INTO arrays (code, txt, num, mark, big, amt, raw) VALUES ('02', ?, ?, 1, ?, "
      "?, ?)",
      arrays.statement());
  const std::vector<std::vector<std::string>> rows = {
      {"It's \\' mixed", "-2147483648", "-9223372036854775808", "-3.25",
       std::string("\0\xff'\\", 4)},
      {"Ren\xC3\xA9"
       "e \xF0\x9F\x98\x80",
       "2147483647", "9223372036854775807", "123456789012345.6789", "\x80"},
      {"", "0", "0", "0.0001", ""},
      {std::string("nul\0inside", 10), "17", "5000000000", "15", "plain"},
  };
  db::BulkInsert texts = make("texts");
  for (const auto& row : rows) {
    arrays.Add(row);
    texts.Add(row);
  }
  EXPECT_EQ(
      "'02', 'It\\'s \\\\\\' mixed', -2147483648, 1, -9223372036854775808, -3.25, "
      "X'00FF275C'",
      texts.RowValues(0));
  std::vector<std::string> seen;
  connection.SetObserver([&](std::string_view sql) { seen.emplace_back(sql); });
  EXPECT_EQ(rows.size(), arrays.Send(connection));
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(arrays.statement(), seen.front());
  EXPECT_EQ(0u, arrays.size());
  // The same rows as literals, one statement each.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    connection.Execute("INSERT INTO texts (code, txt, num, mark, big, amt, raw) VALUES (" +
                       texts.RowValues(i) + ")");
  }
  const std::string read = "SELECT seq, HEX(code), HEX(txt), num, big, amt, HEX(raw), mark FROM ";
  const std::string stored = testing_support::SortedRows(connection, read + "arrays");
  EXPECT_EQ(testing_support::SortedRows(connection, read + "texts"), stored);
  EXPECT_NE(std::string::npos, stored.find("123456789012345.6789")) << stored;
}

// A failing row is named by its own single-row statement, as if the rows had gone one by
// one: the server undid the bulk statement whole, the rows are sent again one by one inside
// a savepoint up to the culprit, and the transaction goes on with the rows before it.
TEST_F(DbLayer, BulkInsertFailureIsNamedByTheFailingRow) {
  db::Connection connection(scratch_->settings());
  connection.Execute("CREATE TEMPORARY TABLE refusing (id INT PRIMARY KEY, name VARCHAR(20))");
  const auto insert = [] {
    return db::BulkInsert(
        "INSERT INTO refusing (id, name) VALUES (",
        {db::InsertValue{db::ParamType::kInteger}, db::InsertValue{db::ParamType::kText}}, ")",
        std::size_t{1} << 20, "test_rows");
  };
  connection.Execute("INSERT INTO refusing VALUES (3, 'taken')");
  connection.Execute("START TRANSACTION");
  db::BulkInsert rows = insert();
  for (int i = 10; i < 15; ++i) {
    rows.Add({std::to_string(i), "row " + std::to_string(i)});
  }
  rows.Add({"3", "again"});
  rows.Add({"20", "after"});
  std::vector<std::string> seen;
  connection.SetObserver([&](std::string_view sql) { seen.emplace_back(sql); });
  try {
    rows.Send(connection);
    FAIL() << "no error";
  } catch (const db::RowError& error) {
    EXPECT_EQ(5u, error.row());
    EXPECT_TRUE(error.IsDuplicateKey());
    EXPECT_EQ("INSERT INTO refusing (id, name) VALUES (3, 'again')", error.statement());
  }
  EXPECT_EQ(0u, rows.size());
  ASSERT_EQ(9u, seen.size());
  EXPECT_EQ("INSERT INTO refusing (id, name) VALUES (?, ?)", seen[0]);
  EXPECT_EQ("SAVEPOINT test_rows", seen[1]);
  EXPECT_EQ("INSERT INTO refusing (id, name) VALUES (10, 'row 10')", seen[2]);
  EXPECT_EQ("RELEASE SAVEPOINT test_rows", seen.back());
  EXPECT_EQ("6", connection.Query("SELECT COUNT(*) FROM refusing").Value(0));
  connection.Execute("ROLLBACK");
  EXPECT_EQ("1", connection.Query("SELECT COUNT(*) FROM refusing").Value(0));

  // A lone row goes as its single-row statement; a statement the server cannot prepare fails
  // with the server's text and leaves the session usable.
  seen.clear();
  db::BulkInsert lone = insert();
  lone.Add({"4", "lone"});
  EXPECT_EQ(1u, lone.Send(connection));
  EXPECT_EQ((std::vector<std::string>{"INSERT INTO refusing (id, name) VALUES (4, 'lone')"}), seen);
  const std::vector<db::BulkColumn> columns = {{db::ParamType::kInteger, {"5", "6"}}};
  try {
    connection.ExecuteBulk("INSERT INTO missing (id) VALUES (?)", columns, 2);
    FAIL() << "no error";
  } catch (const db::Error& error) {
    EXPECT_TRUE(error.IsNoSuchTable()) << error.what();
    EXPECT_EQ("INSERT INTO missing (id) VALUES (?)", error.statement());
  }
  EXPECT_EQ("2", connection.Query("SELECT COUNT(*) FROM refusing").Value(0));
  EXPECT_EQ(2u, connection.ExecuteBulk("INSERT INTO refusing (id) VALUES (?)", columns, 2));
  EXPECT_EQ("4", connection.Query("SELECT COUNT(*) FROM refusing").Value(0));
}

}  // namespace
