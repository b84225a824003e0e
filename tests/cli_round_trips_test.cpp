// How many statements reach the server: a run's round trips, counted by the server itself
// (its general log), and the record store's reads during a scan.
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "copy/table_copy.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "db/query.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"
#include "tests/test_db.h"
#include "tests/test_support_ap.h"
#include "tests/test_support_cli.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDatabase;

// The statements the server receives from connections that open `database`, from
// construction to Statements(), in the order they came. The general log is the server's
// own and global: a user lock keeps two of these from switching it at once, and only
// sessions that named the database when they connected count, so tests running alongside
// do not.
class ServerStatementLog {
 public:
  explicit ServerStatementLog(std::string database)
      : connection_(testing_support::ServerSettings()), database_(std::move(database)) {
    db::Result locked = connection_.Query("SELECT GET_LOCK('kelvane_test_general_log', 600)");
    EXPECT_EQ("1", std::string(locked.Value(0)));
    connection_.Execute("SET GLOBAL log_output = 'TABLE'");
    connection_.Execute("TRUNCATE TABLE mysql.general_log");
    connection_.Execute("SET GLOBAL general_log = 1");
  }

  ~ServerStatementLog() {
    try {
      connection_.Execute("SET GLOBAL general_log = 0");
      connection_.Query("SELECT RELEASE_LOCK('kelvane_test_general_log')");
    } catch (const std::exception& error) {
      ADD_FAILURE() << "the general log could not be switched off: " << error.what();
    }
  }

  ServerStatementLog(const ServerStatementLog&) = delete;
  ServerStatementLog& operator=(const ServerStatementLog&) = delete;

  std::vector<std::string> Statements() {
    connection_.Execute("SET GLOBAL general_log = 0");
    std::vector<std::string> statements;
    db::Result rows = connection_.Query(
        "SELECT argument FROM mysql.general_log WHERE command_type IN ('Query', 'Execute') "
        "AND thread_id IN (SELECT thread_id FROM mysql.general_log WHERE command_type = "
        "'Connect' AND LOCATE(CONCAT(' on ', " +
        QuotedName() + ", ' '), CONVERT(argument USING utf8mb4)) > 0) ORDER BY event_time");
    for (; !rows.Eof(); rows.Next()) {
      statements.emplace_back(rows.Value(0));
    }
    return statements;
  }

  // The sessions that opened the database, once Statements() has been read.
  std::size_t Sessions() {
    return std::stoul(std::string(
        connection_
            .Query("SELECT COUNT(*) FROM mysql.general_log WHERE command_type = 'Connect' AND "
                   "LOCATE(CONCAT(' on ', " +
                   QuotedName() + ", ' '), CONVERT(argument USING utf8mb4)) > 0")
            .Value(0)));
  }

 private:
  std::string QuotedName() const { return "'" + database_ + "'"; }  // letters, digits, _

  db::Connection connection_;
  std::string database_;
};

std::size_t CountHolding(const std::vector<std::string>& statements, const std::string& part) {
  return static_cast<std::size_t>(std::count_if(
      statements.begin(), statements.end(),
      [&part](const std::string& text) { return text.find(part) != std::string::npos; }));
}

// What every ap read of the record store sends, up to its key.
constexpr const char* kApRead = "SELECT Index0Col, RecData FROM zz_data_ap WHERE Index0Col > ";
// Records one ap read fetches during a scan: of a prefix the ap copy names, and of any scan.
constexpr std::size_t kPrefixBatch = 1000;
constexpr std::size_t kBatch = 200;

// Every statement that is not one row's insert, one ap record's or one ap read: the checks,
// the lock, the backup, the clears, the selects and the transaction's (and, in one
// transaction, the multi-row inserts). They do not grow with the data. Requests are counted
// (a run in one transaction sends several statements a request): measured 92 step by step
// and 33 in one transaction on the demo agencies; these bounds leave room for a few more,
// not for one per table or record.
constexpr std::size_t kOtherStatementsStepwise = 100;
constexpr std::size_t kOtherStatementsAtomic = 50;

class RoundTripTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, std::getenv("KELVANE_BIN")) << "KELVANE_BIN names the built program";
    dir_ = testing_support::MakeTempDir("kelvane-trips");
    fs::create_directory(dir_ / "work");
  }

  void TearDown() override { fs::remove_all(dir_); }

  // The demo agencies, and `extra` more bank records of agency 01 in the ap file, so that
  // one kind's scan needs several batches.
  static void Load(const ScratchDatabase& database, int extra) {
    database.Run(testing_support::DemoSql());
    std::string values;
    for (int i = 0; i < extra; ++i) {
      std::string number = std::to_string(100000 + i);
      values += std::string(values.empty() ? "" : ", ") + "('00900001" + number + "01', '00900001" +
                number + "01 extra bank')";
    }
    if (!values.empty()) {
      database.Run("INSERT INTO zz_data_ap (Index0Col, RecData) VALUES " + values + ";");
    }
  }

  // Rows of the twelve tables and ap records that agency `code` holds.
  static std::pair<std::size_t, std::size_t> Holdings(const ScratchDatabase& database,
                                                      const std::string& code) {
    std::size_t rows = 0;
    for (const copy::TableDesc& desc : copy::AllTables()) {
      rows += std::stoul(database.Scalar("SELECT COUNT(*) FROM " + desc.insert_table + " WHERE " +
                                         copy::CodeCondition(desc, code)));
    }
    const std::size_t records = std::stoul(
        database.Scalar("SELECT COUNT(*) FROM zz_data_ap WHERE SUBSTR(Index0Col, 7, 2) = '" + code +
                        "' AND LEFT(Index0Col, 3) IN ('002', '003', '005', '006', '007', "
                        "'008', '009') AND SUBSTR(Index0Col, 4, 3) = '000'"));
    return {rows, records};
  }

  std::vector<std::string> CountedRun(const ScratchDatabase& database, const std::string& args,
                                      std::size_t* sessions = nullptr) {
    ServerStatementLog log(database.name());
    const testing_support::CliOutcome outcome =
        testing_support::RunKelvane(dir_, database.settings(), args);
    EXPECT_EQ(0, outcome.status) << outcome.err;
    std::vector<std::string> statements = log.Statements();
    if (sessions != nullptr) {
      *sessions = log.Sessions();
    }
    return statements;
  }

  fs::path dir_;
};

// The statements grow with the rows only by what the copy must send: one insert per row and
// record when the run commits step by step, and one ap read per batch of records.
TEST_F(RoundTripTest, ARunSendsItsCopyAndAFewStatementsMore) {
  ScratchDatabase database("ktrips");
  Load(database, 450);
  testing_support::BackupFolder backups;
  const auto [rows, records] = Holdings(database, "01");
  ASSERT_GE(records, 450u);

  const std::vector<std::string> stepwise =
      CountedRun(database, "--from 01 --to 03 --step-by-step");
  EXPECT_EQ(Holdings(database, "03"), std::make_pair(rows, records));
  const std::size_t reads = CountHolding(stepwise, kApRead);
  // A read per batch of a kind's records, the last one taking the next kind's first record.
  EXPECT_LE(reads, records / kPrefixBatch + 7);
  EXPECT_LE(stepwise.size(), rows + records + reads + kOtherStatementsStepwise)
      << stepwise.size() << " statements for " << rows << " rows and " << records << " records";

  const std::vector<std::string> atomic = CountedRun(database, "--from 01 --to 03 --atomic");
  EXPECT_EQ(Holdings(database, "03"), std::make_pair(rows, records));
  EXPECT_LE(CountHolding(atomic, kApRead), records / kPrefixBatch + 7);
  EXPECT_LE(atomic.size(), kOtherStatementsAtomic) << atomic.size();
  // A run that asks for nothing is one transaction here, and sends what --atomic sends.
  const std::vector<std::string> plain = CountedRun(database, "--from 01 --to 03");
  EXPECT_EQ(Holdings(database, "03"), std::make_pair(rows, records));
  EXPECT_EQ(atomic.size(), plain.size());

  // The catalogue is read once a run, for every table at once: the checks, the plan and the
  // backup all take it from that read.
  for (const std::vector<std::string>* run : {&stepwise, &atomic}) {
    EXPECT_EQ(1u, static_cast<std::size_t>(
                      std::count_if(run->begin(), run->end(), [](const std::string& text) {
                        return text.find("information_schema.COLUMNS") != std::string::npos;
                      })));
  }
}

// A run works on two sessions, its own and its lock's, and asks nothing twice: the record
// store opens ap on the run's session, the lock takes and gives back both codes in one
// statement each, and whether the server is a cluster node is asked once.
TEST_F(RoundTripTest, ARunUsesTwoSessionsAndAsksNothingTwice) {
  ScratchDatabase database("ktrips");
  Load(database, 0);
  testing_support::BackupFolder backups;
  for (const char* mode : {"", " --step-by-step"}) {
    std::size_t sessions = 0;
    const std::vector<std::string> run =
        CountedRun(database, std::string("--from 01 --to 03") + mode, &sessions);
    EXPECT_EQ(2u, sessions) << mode;
    EXPECT_EQ(1u, CountHolding(run, "SELECT 1 FROM zz_data_ap LIMIT 0")) << mode;
    // Once by each session: the lock's with its identity, the run's with its catalogue.
    EXPECT_EQ(2u, CountHolding(run, "@@wsrep_on")) << mode;
    EXPECT_EQ(1u, CountHolding(run, "GET_LOCK(")) << mode;
    EXPECT_EQ(1u, CountHolding(run, "RELEASE_LOCK(")) << mode;
    EXPECT_EQ(1u, CountHolding(run, "INSERT INTO kelvane_run_lock")) << mode;
    EXPECT_EQ(1u, CountHolding(run, "DELETE FROM kelvane_run_lock")) << mode;
    // Who the lock's session is, whether it is a node and whether the lock table exists.
    EXPECT_EQ(1u, CountHolding(run, "@@hostname")) << mode;
  }
}

class ScanTest : public testing::Test {
 protected:
  void SetUp() override {
    database_ = std::make_unique<testing_support::ApStoreDatabase>("ktscan");
    handle_ = CBtrvOapi();
    ASSERT_EQ(BTRV_ERR_NONE, btrOpen(handle_, "", "ap", 1, 1, 0));
    writer_ = CBtrvOapi();
    ASSERT_EQ(BTRV_ERR_NONE, btrOpen(writer_, "", "ap", 1, 1, 0));
  }

  void TearDown() override {
    btrClose(handle_);
    btrClose(writer_);
    database_.reset();
  }

  static std::string Key(int i) { return "00900001" + std::to_string(10000000 + i); }

  int16_t Insert(int32_t handle, const std::string& record) {
    auto length = static_cast<uint32_t>(record.size());
    return btrInsert(handle, record.data(), length, 0);
  }

  // The records from the first key after `after` until a read fails; its status in `end`.
  std::vector<std::string> Scan(const std::string& after, int16_t* end,
                                const std::function<void(const std::string&)>& between = nullptr) {
    std::vector<std::string> records;
    std::string buffer(4096, '\0');
    uint32_t length = 4096;
    int16_t status = btrGetGreater(handle_, buffer.data(), length, after.c_str(), 0, 0);
    while (status == BTRV_ERR_NONE && records.size() < 2000) {
      records.emplace_back(buffer.data(), length);
      if (between) {
        between(records.back());
      }
      length = 4096;
      status = btrGetNext(handle_, buffer.data(), length, 0);
    }
    *end = status;
    return records;
  }

  std::unique_ptr<testing_support::ApStoreDatabase> database_;
  int32_t handle_ = 0;
  int32_t writer_ = 0;
};

// A scan reads what one-record reads read, in a batch per 200 records, and its own inserts
// into the range it has fetched are read as a fresh read would find them.
TEST_F(ScanTest, ReadsInBatchesWhatSingleReadsRead) {
  for (int i = 0; i < 450; i += 2) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(writer_, Key(i) + "record"));
  }
  int16_t end = 0;
  const std::vector<std::string> single = Scan("", &end);
  ASSERT_EQ(BTRV_ERR_END_OF_FILE, end);
  ASSERT_EQ(225u, single.size());

  std::vector<std::string> batched;
  std::vector<std::string> statements;
  {
    ServerStatementLog log(database_->name());
    MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");  // a session the log sees open
    const recstore::ScanReadAhead scan(handle_);
    batched = Scan("", &end);
    statements = log.Statements();
  }
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, end);
  EXPECT_EQ(single, batched);
  // 225 records: two batches, then the read that finds the end.
  EXPECT_EQ(3u, CountHolding(statements, kApRead));

  // Odd keys inserted while the scan runs, each just after the record read: inside the
  // batch for three of them, just past its end for the last. All are read, in key order.
  {
    const recstore::ScanReadAhead scan(handle_);
    batched = Scan("", &end, [this](const std::string& record) {
      const int number = std::stoi(record.substr(8, 8)) - 10000000;
      if (number % 100 == 98) {
        EXPECT_EQ(BTRV_ERR_NONE, Insert(writer_, Key(number + 1) + "new"));
      }
    });
  }
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, end);
  ASSERT_EQ(225u + 4u, batched.size());
  EXPECT_TRUE(std::is_sorted(batched.begin(), batched.end()));
  EXPECT_EQ(Key(99) + "new", batched[50]);
}

// An answer the caller fetched for a scan's first read is taken for that read alone: only
// when the read would send that very statement, and never after an insert.
TEST_F(ScanTest, TakesAProvidedAnswerOnlyForTheReadThatAskedIt) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(writer_, Key(i)));
  }
  const std::string prefix = "00900001";
  const std::string statement = recstore::ScanStartStatement(handle_, prefix);
  ASSERT_FALSE(statement.empty());
  EXPECT_EQ("", recstore::ScanStartStatement(12345, prefix));
  db::Connection connection(database_->settings());
  std::string buffer(4096, '\0');
  const auto first_read = [&](std::string_view after) {
    const recstore::ScanReadAhead scan(handle_, prefix);
    uint32_t length = 4096;
    EXPECT_EQ(BTRV_ERR_NONE, btrGetGreater(handle_, buffer.data(), length, after.data(), 0, 0));
    return buffer.substr(0, length);
  };

  // Fetched before the first record went: the read takes the answer as it was fetched.
  recstore::ProvideRead(statement, connection.Query(statement));
  database_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '" + Key(0) + "';");
  EXPECT_EQ(Key(0), first_read(prefix));
  // Taken once: the next scan asks the server.
  EXPECT_EQ(Key(1), first_read(prefix));

  // Another read's statement, or an insert in between: the server is asked.
  recstore::ProvideRead(statement, connection.Query(statement));
  database_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '" + Key(1) + "';");
  EXPECT_EQ(Key(2), first_read(Key(1)));
  recstore::ProvideRead(statement, connection.Query(statement));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(writer_, Key(0)));
  EXPECT_EQ(Key(0), first_read(prefix));
}

// A change made before a scan starts is always seen; after the scan, reads ask the server
// every time again.
TEST_F(ScanTest, SeesChangesMadeBeforeItAndForgetsItsBatchAfterIt) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(writer_, Key(i)));
  }
  std::string buffer(4096, '\0');
  uint32_t length = 4096;
  {
    const recstore::ScanReadAhead scan(handle_);
    ASSERT_EQ(BTRV_ERR_NONE, btrGetGreater(handle_, buffer.data(), length, "", 0, 0));
    EXPECT_EQ(Key(0), buffer.substr(0, length));
  }
  database_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '" + Key(1) + "';");
  length = 4096;
  ASSERT_EQ(BTRV_ERR_NONE, btrGetNext(handle_, buffer.data(), length, 0));
  EXPECT_EQ(Key(2), buffer.substr(0, length));

  database_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '" + Key(0) + "';");
  const recstore::ScanReadAhead scan(handle_);
  length = 4096;
  ASSERT_EQ(BTRV_ERR_NONE, btrGetGreater(handle_, buffer.data(), length, "", 0, 0));
  EXPECT_EQ(Key(2), buffer.substr(0, length));
}

// A scan that names its prefix: a batch never passes the first record after the prefix, and
// one that fills up ends where the prefix's records do, whatever the bytes of the prefix.
TEST_F(ScanTest, APrefixBatchEndsAtTheFirstRecordPastThePrefix) {
  std::vector<std::string> expected;
  for (int i = 0; i < 1001; ++i) {
    expected.push_back(Key(i));
  }
  expected.push_back("00900002" + std::string(8, '0'));
  for (const std::string& record : expected) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(writer_, record));
  }

  std::vector<std::string> read;
  std::vector<std::string> statements;
  int16_t end = 0;
  {
    ServerStatementLog log(database_->name());
    MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
    const recstore::ScanReadAhead scan(handle_, "00900001");
    read = Scan("00900001", &end);
    statements = log.Statements();
  }
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, end);
  EXPECT_EQ(expected, read);
  // A full batch of a thousand; the last record with the one past the prefix; the end.
  EXPECT_EQ(3u, CountHolding(statements, kApRead));

  // A prefix ending in 0xFF bytes: what follows it is found all the same.
  for (const char* record : {"A\xFF\x01", "A\xFF\xFF", "A\xFF\xFF\xFF", "B"}) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(writer_, record));
  }
  {
    const recstore::ScanReadAhead scan(handle_, "A\xFF");
    read = Scan("A\xFF", &end);
  }
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, end);
  EXPECT_EQ((std::vector<std::string>{"A\xFF\x01", "A\xFF\xFF", "A\xFF\xFF\xFF", "B"}), read);
}

}  // namespace
