// The record store against the real server: order, statuses, lengths and visibility.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/query.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"
#include "recstore/store.h"
#include "tests/test_support_ap.h"

namespace {

using testing_support::Hex;

class RecordStoreTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { db_ = std::make_unique<testing_support::ApStoreDatabase>("krs"); }

  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override { db_->Run("DELETE FROM zz_data_ap"); }

  void TearDown() override {
    for (int32_t handle : handles_) {
      btrClose(handle);
    }
    EXPECT_EQ(0u, recstore::OpenHandleCount());
  }

  int32_t OpenAp() {
    int32_t handle = CBtrvOapi();
    handles_.push_back(handle);
    EXPECT_EQ(BTRV_ERR_NONE, btrOpen(handle, "", "ap", 1, 1, 0));
    return handle;
  }

  static int16_t Insert(int32_t handle, const std::string& record) {
    auto length = static_cast<uint32_t>(record.size());
    return btrInsert(handle, record.data(), length, 0);
  }

  // Reads with a buffer of `capacity` bytes; the record as delivered, or "" on failure.
  static std::string Greater(int32_t handle, const std::string& key, int16_t* status,
                             uint32_t capacity = 4096) {
    std::string buffer(capacity, '\0');
    uint32_t length = capacity;
    *status = btrGetGreater(handle, buffer.data(), length, key.c_str(), 0, 0);
    return *status == BTRV_ERR_NONE || *status == BTRV_ERR_DATA_BUF_SHORT ? buffer.substr(0, length)
                                                                          : "";
  }

  static std::string Next(int32_t handle, int16_t* status, uint32_t capacity = 4096) {
    std::string buffer(capacity, '\0');
    uint32_t length = capacity;
    *status = btrGetNext(handle, buffer.data(), length, 0);
    return *status == BTRV_ERR_NONE || *status == BTRV_ERR_DATA_BUF_SHORT ? buffer.substr(0, length)
                                                                          : "";
  }

  // A connection lent to the store, inside a transaction, whose queue goes as arrays of
  // bytes or (`arrays` false) as text; what it sends afterwards lands in `sent`.
  std::unique_ptr<db::Connection> LendInTransaction(bool arrays, std::vector<std::string>& sent) {
    auto connection = std::make_unique<db::Connection>(db_->settings());
    connection->SetBulkInserts(arrays);
    connection->SetObserver([&sent](std::string_view sql) { sent.emplace_back(sql); });
    connection->Execute("START TRANSACTION");
    recstore::UseConnection(connection.get());
    return connection;
  }

  // Every record from the start of the file, in the store's order.
  static std::vector<std::string> Scan(int32_t handle) {
    std::vector<std::string> records;
    int16_t status = 0;
    std::string record = Greater(handle, "", &status);
    // Bounded, so a store that repeats a record fails the test instead of hanging it.
    while (status == BTRV_ERR_NONE && records.size() < 100) {
      records.push_back(record);
      record = Next(handle, &status);
    }
    EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
    return records;
  }

  static std::unique_ptr<testing_support::ApStoreDatabase> db_;
  std::vector<int32_t> handles_;
};

std::unique_ptr<testing_support::ApStoreDatabase> RecordStoreTest::db_;

TEST_F(RecordStoreTest, ReadsInByteOrderWithHighBytes) {
  int32_t ap = OpenAp();
  const std::vector<std::string> sorted = {std::string("\x01", 1),
                                           "009000010000",
                                           "00900001\x7F",
                                           "00900001\x80",
                                           "00900001\xFF",
                                           "A",
                                           "a",
                                           std::string("a\0b", 3),
                                           "\x80\x01",
                                           "\xFF\xFE"};
  for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, *it)) << Hex(*it);
  }
  EXPECT_EQ(sorted, Scan(ap));
}

TEST_F(RecordStoreTest, GetGreaterSkipsAnEqualKeyAndEndsAtEndOfFile) {
  int32_t ap = OpenAp();
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "00900001AAAAAA01rest"));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "00900001AAAAAA02rest"));
  int16_t status = 0;
  EXPECT_EQ("00900001AAAAAA02rest", Greater(ap, "00900001AAAAAA01", &status));
  EXPECT_EQ(BTRV_ERR_NONE, status);
  Next(ap, &status);
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
  // At the end the handle keeps its place: a record added later is found next.
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "00900001AAAAAA03rest"));
  EXPECT_EQ("00900001AAAAAA03rest", Next(ap, &status));
  Greater(ap, "00900002", &status);
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
}

TEST_F(RecordStoreTest, RefusesDuplicateKeyAndBadLengths) {
  int32_t ap = OpenAp();
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000101first"));
  // Same first sixteen bytes, different tail: the same key 0.
  EXPECT_EQ(BTRV_ERR_DUPLICATE_KEY, Insert(ap, "0090000100000101second"));
  EXPECT_NE(std::string::npos, recstore::LastErrorText().find("Duplicate"));

  uint32_t length = 0;
  EXPECT_EQ(BTRV_ERR_INVALID_REC_LEN, btrInsert(ap, "x", length, 0));
  std::string too_long(4097, 'x');
  length = 4097;
  EXPECT_EQ(BTRV_ERR_INVALID_REC_LEN, btrInsert(ap, too_long.data(), length, 0));
  EXPECT_EQ("1", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
}

TEST_F(RecordStoreTest, ShortBufferGetsTheRecordsStartAndPosition) {
  int32_t ap = OpenAp();
  std::string long_record = "0090000100000101" + std::string(134, '\xA5');
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, long_record));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000102short"));

  std::string buffer(150, '#');
  uint32_t length = 128;
  EXPECT_EQ(BTRV_ERR_DATA_BUF_SHORT, btrGetGreater(ap, buffer.data(), length, "", 0, 0));
  EXPECT_EQ(128u, length);
  EXPECT_EQ(long_record.substr(0, 128), buffer.substr(0, 128));
  EXPECT_EQ(std::string(22, '#'), buffer.substr(128)) << "wrote past the length given";

  int16_t status = 0;
  EXPECT_EQ("0090000100000102short", Next(ap, &status, 128));
  EXPECT_EQ(BTRV_ERR_NONE, status);
}

TEST_F(RecordStoreTest, StoresRecordsOfEveryLengthExactly) {
  int32_t ap = OpenAp();
  std::vector<std::string> records;
  for (std::size_t size : {1u, 15u, 16u, 17u, 150u, 4096u}) {
    std::string record(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
      record[i] = static_cast<char>((i * 37 + size) % 256);
    }
    records.push_back(record);
    ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, record)) << size;
    EXPECT_EQ(std::to_string(size),
              db_->Scalar("SELECT LENGTH(RecData) FROM zz_data_ap WHERE RecData = X'" +
                          Hex(record) + "'"));
    EXPECT_EQ(Hex(record.substr(0, 16)),
              db_->Scalar("SELECT HEX(Index0Col) FROM zz_data_ap WHERE RecData = X'" + Hex(record) +
                          "'"));
  }
  std::vector<std::string> read = Scan(ap);
  ASSERT_EQ(records.size(), read.size());
  for (const std::string& record : records) {
    EXPECT_NE(read.end(), std::find(read.begin(), read.end(), record)) << record.size();
  }
}

TEST_F(RecordStoreTest, RecordDeletedBySqlIsNeverReturned) {
  int32_t ap = OpenAp();
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000101"));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000102"));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000103"));

  int16_t status = 0;
  EXPECT_EQ("0090000100000101", Greater(ap, "", &status));
  db_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '0090000100000102'");
  EXPECT_EQ("0090000100000103", Next(ap, &status));

  db_->Run("DELETE FROM zz_data_ap WHERE Index0Col LIKE '00900001%'");
  Greater(ap, "", &status);
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
}

TEST_F(RecordStoreTest, InsertMovesNoHandle) {
  int32_t reader = OpenAp();
  int32_t writer = OpenAp();
  ASSERT_EQ(BTRV_ERR_NONE, Insert(writer, "0090000100000101"));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(writer, "0090000100000102"));

  int16_t status = 0;
  EXPECT_EQ("0090000100000101", Greater(reader, "", &status));
  EXPECT_EQ("0090000100000101", Greater(writer, "", &status));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(writer, "0090000200000101"));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(reader, "0090000300000101"));
  EXPECT_EQ("0090000100000102", Next(reader, &status));
  EXPECT_EQ("0090000100000102", Next(writer, &status));
}

TEST_F(RecordStoreTest, OpenReportsMissingAndInvalidFiles) {
  int32_t handle = CBtrvOapi();
  handles_.push_back(handle);
  EXPECT_EQ(BTRV_ERR_FILE_NOT_FOUND, btrOpen(handle, "", "nosuchfile", 1, 1, 0));
  EXPECT_NE(std::string::npos, recstore::LastErrorText().find("zz_data_nosuchfile"));
  EXPECT_EQ(BTRV_ERR_FILE_NOT_FOUND, btrOpen(handle, "", "ap; DROP TABLE zz_data_ap", 1, 1, 0));
  EXPECT_EQ(BTRV_ERR_FILE_NOT_FOUND, btrOpen(handle, "", "", 1, 1, 0));
  EXPECT_EQ(BTRV_ERR_FILE_NOT_FOUND, btrOpen(handle, "", nullptr, 1, 1, 0));
  EXPECT_EQ("0", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));

  uint32_t length = 16;
  char buffer[16];
  EXPECT_EQ(BTRV_ERR_FILE_NOT_OPEN, btrGetGreater(handle, buffer, length, "", 0, 0));
  EXPECT_EQ(BTRV_ERR_INVALID_OP, btrOpen(987654, "", "ap", 1, 1, 0));
}

// On a borrowed connection a file found once is not asked for again until the connection is
// lent anew; a missing one is asked for every time and keeps its status and the server's text.
TEST_F(RecordStoreTest, BorrowedOpenAsksForAFoundFileOnce) {
  db::Connection connection(db_->settings());
  std::vector<std::string> sent;
  connection.SetObserver([&sent](std::string_view sql) { sent.emplace_back(sql); });
  const int32_t first = CBtrvOapi();
  const int32_t second = CBtrvOapi();
  handles_.insert(handles_.end(), {first, second});
  {
    const recstore::BorrowedConnection borrowed(connection, false);
    EXPECT_EQ(BTRV_ERR_NONE, btrOpen(first, "", "ap", 1, 1, 0));
    EXPECT_EQ(BTRV_ERR_NONE, btrOpen(second, "", "ap", 1, 1, 0));
    EXPECT_EQ(std::vector<std::string>{"SELECT 1 FROM zz_data_ap LIMIT 0"}, sent);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int32_t missing = CBtrvOapi();
      handles_.push_back(missing);
      EXPECT_EQ(BTRV_ERR_FILE_NOT_FOUND, btrOpen(missing, "", "nosuchfile", 1, 1, 0));
      EXPECT_NE(std::string::npos, recstore::LastErrorText().find("zz_data_nosuchfile"))
          << recstore::LastErrorText();
    }
    EXPECT_EQ(3u, sent.size());
    // Both handles work on the one answer.
    ASSERT_EQ(BTRV_ERR_NONE, Insert(first, "0090000100000101"));
    int16_t status = 0;
    EXPECT_EQ("0090000100000101", Greater(second, "", &status));
  }
  sent.clear();
  const recstore::BorrowedConnection again(connection, false);
  EXPECT_EQ(BTRV_ERR_NONE, btrOpen(first, "", "ap", 1, 1, 0));
  EXPECT_EQ(std::vector<std::string>{"SELECT 1 FROM zz_data_ap LIMIT 0"}, sent);
  // A file dropped meanwhile is found missing by the next lending.
  db_->Run("RENAME TABLE zz_data_ap TO zz_data_ap_away");
  recstore::UseConnection(&connection, false);
  const int16_t reopened = btrOpen(first, "", "ap", 1, 1, 0);
  db_->Run("RENAME TABLE zz_data_ap_away TO zz_data_ap");
  EXPECT_EQ(BTRV_ERR_FILE_NOT_FOUND, reopened);
}

TEST_F(RecordStoreTest, HandleStatusesWithoutAFile) {
  int32_t first = CBtrvOapi();
  int32_t second = CBtrvOapi();
  EXPECT_NE(0, first);
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, recstore::OpenHandleCount());

  char buffer[16];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(BTRV_ERR_FILE_NOT_OPEN, btrGetNext(first, buffer, length, 0));
  EXPECT_EQ(BTRV_ERR_FILE_NOT_OPEN, btrInsert(first, "0090000100000101", length, 0));
  EXPECT_EQ(BTRV_ERR_NONE, btrClose(first));
  EXPECT_EQ(BTRV_ERR_FILE_NOT_OPEN, btrClose(first));
  EXPECT_EQ(BTRV_ERR_NONE, btrClose(second));

  int32_t ap = OpenAp();
  EXPECT_EQ(BTRV_ERR_INVALID_POSITION, btrGetNext(ap, buffer, length, 0));
  EXPECT_EQ(BTRV_ERR_INVALID_KEY_NUM, btrGetGreater(ap, buffer, length, "", 1, 0));
}

TEST_F(RecordStoreTest, ReinitialisationReconnectsWithTheLatestSettings) {
  int32_t ap = OpenAp();
  db::ConnectionSettings wrong = db_->settings();
  wrong.password = "not-the-password";
  recstore::SetConnectionSettings(wrong);
  // Settings wait for the next initialisation.
  EXPECT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000101"));

  MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
  int16_t status = 0;
  Greater(ap, "", &status);
  EXPECT_EQ(BTRV_ERR_IO, status);
  EXPECT_NE(std::string::npos, recstore::LastErrorText().find("Access denied"));
  int32_t other = CBtrvOapi();
  handles_.push_back(other);
  EXPECT_EQ(BTRV_ERR_IO, btrOpen(other, "", "ap", 1, 1, 0));

  recstore::SetConnectionSettings(db_->settings());
  MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
  EXPECT_EQ("0090000100000101", Greater(ap, "", &status));
  EXPECT_EQ("", recstore::LastErrorText());
}

TEST_F(RecordStoreTest, BorrowedConnectionJoinsTheCallersTransaction) {
  int32_t ap = OpenAp();
  db::Connection connection(db_->settings());
  connection.Execute("START TRANSACTION");
  recstore::UseConnection(&connection);
  EXPECT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000101"));
  int16_t status = 0;
  EXPECT_EQ("0090000100000101", Greater(ap, "", &status));
  connection.Execute("ROLLBACK");
  Greater(ap, "", &status);
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
  recstore::UseConnection(nullptr);
  EXPECT_EQ("0", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
}

// A scan that inserts as it goes, each record's copy under another agency, as the ap copy
// does: the records read, in order. The scan is bounded against a store that repeats.
std::vector<std::string> ScanCopying(int32_t reader, int32_t writer, const std::string& agency) {
  std::vector<std::string> read;
  std::string buffer(4096, '\0');
  uint32_t length = 4096;
  int16_t status = btrGetGreater(reader, buffer.data(), length, "", 0, 0);
  while (status == BTRV_ERR_NONE && read.size() < 2000) {
    std::string record = buffer.substr(0, length);
    read.push_back(record);
    if (record.substr(6, 2) != agency) {
      std::string copy = record;
      copy.replace(6, 2, agency);
      uint32_t copy_length = static_cast<uint32_t>(copy.size());
      EXPECT_EQ(BTRV_ERR_NONE, btrInsert(writer, copy.data(), copy_length, 0)) << copy;
    }
    length = 4096;
    status = btrGetNext(reader, buffer.data(), length, 0);
  }
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
  return read;
}

// 150 records of agency 01 and 450 of agency 04: copies under 00 sort before every record,
// under 05 after them, and under 02 between them, where the copies of 01 land inside what
// the first borrowed read fetched ahead.
void PutTwoAgencies(testing_support::ApStoreDatabase& db) {
  std::string values;
  for (int i = 0; i < 600; ++i) {
    char key[17];
    std::snprintf(key, sizeof key, "009000%s%06d01", i < 150 ? "01" : "04", i);
    std::string record = std::string(key) + "body" + std::to_string(i);
    values += std::string(values.empty() ? "" : ",") + "(X'" + Hex(record.substr(0, 16)) + "', X'" +
              Hex(record) + "')";
  }
  db.Run("INSERT INTO zz_data_ap VALUES " + values);
}

TEST_F(RecordStoreTest, BorrowedScanWithInsertsReadsWhatTheOwnConnectionReads) {
  for (const std::string agency : {"00", "02", "05"}) {
    SCOPED_TRACE(agency);
    db_->Run("DELETE FROM zz_data_ap");
    PutTwoAgencies(*db_);
    int32_t reader = OpenAp();
    int32_t writer = OpenAp();
    const std::vector<std::string> own = ScanCopying(reader, writer, agency);
    const std::string own_table = db_->Scalar("SELECT COUNT(*) FROM zz_data_ap");

    db_->Run("DELETE FROM zz_data_ap");
    PutTwoAgencies(*db_);
    db::Connection connection(db_->settings());
    std::size_t selects = 0;
    connection.SetObserver(
        [&selects](std::string_view sql) { selects += sql.substr(0, 6) == "SELECT" ? 1 : 0; });
    connection.Execute("START TRANSACTION");
    recstore::UseConnection(&connection);
    const std::vector<std::string> borrowed = ScanCopying(reader, writer, agency);
    EXPECT_EQ(BTRV_ERR_NONE, recstore::Flush());
    EXPECT_FALSE(recstore::QueuedInsertsLost());
    // What the transaction holds, through the store's connection.
    EXPECT_EQ(own_table, std::string(connection.Query("SELECT COUNT(*) FROM zz_data_ap").Value(0)));
    connection.Execute("COMMIT");
    recstore::UseConnection(nullptr);

    ASSERT_EQ(own.size(), borrowed.size());
    EXPECT_TRUE(own == borrowed);
    // Reads fetch 200 at a time; a scan of well over a thousand records takes a handful.
    EXPECT_LT(selects, own.size() / 50);
  }
}

TEST_F(RecordStoreTest, BorrowedInsertsAreQueuedAndADuplicateFailsTheirSend) {
  int32_t ap = OpenAp();
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000102"));
  db::Connection connection(db_->settings());
  connection.Execute("START TRANSACTION");
  recstore::UseConnection(&connection);
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000101"));
  // A key queued twice is refused at once; one the server holds only when the queue goes.
  EXPECT_EQ(BTRV_ERR_DUPLICATE_KEY, Insert(ap, "0090000100000101other"));
  EXPECT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000102again"));
  EXPECT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000103"));
  EXPECT_FALSE(recstore::QueuedInsertsLost());
  EXPECT_EQ(BTRV_ERR_DUPLICATE_KEY, recstore::Flush());
  EXPECT_TRUE(recstore::QueuedInsertsLost());
  EXPECT_NE(std::string::npos, recstore::LastErrorText().find("Duplicate"));
  EXPECT_NE(std::string::npos, recstore::LastErrorText().find("queued"));
  // The insert before the duplicate went in; the one after it was lost.
  int16_t status = 0;
  EXPECT_EQ("0090000100000101", Greater(ap, "", &status));
  EXPECT_EQ("0090000100000102", Next(ap, &status));
  Next(ap, &status);
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
  connection.Execute("ROLLBACK");
  recstore::UseConnection(nullptr);
  EXPECT_FALSE(recstore::QueuedInsertsLost());
  EXPECT_EQ(BTRV_ERR_NONE, recstore::Flush());
}

TEST_F(RecordStoreTest, BorrowedQueueIsSentBeforeSwitchingAndClosing) {
  int32_t ap = OpenAp();
  db::Connection connection(db_->settings());
  recstore::UseConnection(&connection);  // auto-commit: what is sent is visible at once
  ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000101"));
  EXPECT_EQ("0", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
  recstore::UseConnection(nullptr);
  EXPECT_EQ("1", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));

  recstore::UseConnection(&connection);
  int32_t other = CBtrvOapi();
  ASSERT_EQ(BTRV_ERR_NONE, btrOpen(other, "", "ap", 1, 1, 0));
  ASSERT_EQ(BTRV_ERR_NONE, Insert(other, "0090000100000102"));
  EXPECT_EQ(BTRV_ERR_NONE, btrClose(other));
  EXPECT_EQ("2", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
  // The thousandth queued insert sends them all.
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "00900002" + std::to_string(10000000 + i)));
  }
  EXPECT_EQ("1002", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
  recstore::UseConnection(nullptr);
}

TEST_F(RecordStoreTest, BackOnTheOwnConnectionEveryReadAsksTheServerAgain) {
  int32_t ap = OpenAp();
  for (const char* key :
       {"0090000100000101", "0090000100000102", "0090000100000103", "0090000100000104"}) {
    ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, key));
  }
  db::Connection connection(db_->settings());
  recstore::UseConnection(&connection);
  int16_t status = 0;
  // This read fetches the other three ahead; leaving the connection must forget them.
  EXPECT_EQ("0090000100000101", Greater(ap, "", &status));
  recstore::UseConnection(nullptr);
  db_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '0090000100000102'");
  EXPECT_EQ("0090000100000103", Next(ap, &status));
  db_->Run("DELETE FROM zz_data_ap WHERE Index0Col = '0090000100000104'");
  Next(ap, &status);
  EXPECT_EQ(BTRV_ERR_END_OF_FILE, status);
}

// Each store has its own handles and initialisation. The operations act on the store made
// last of those alive, whatever order stores go in, and refuse when none lives.
TEST(RecordStoreLifecycle, OperationsActOnTheStoreMadeLastOfThoseAlive) {
  char buffer[16];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(0, CBtrvOapi());
  EXPECT_EQ(BTRV_ERR_INACTIVE, btrOpen(1, "", "ap", 1, 1, 0));
  EXPECT_EQ(BTRV_ERR_FILE_NOT_OPEN, btrGetNext(1, buffer, length, 0));

  auto first = std::make_unique<recstore::Store>();
  const int32_t handle = CBtrvOapi();
  EXPECT_EQ(BTRV_ERR_INACTIVE, btrOpen(handle, "", "ap", 1, 1, 0));
  {
    recstore::Store second;
    EXPECT_EQ(0u, recstore::OpenHandleCount());
    EXPECT_EQ(BTRV_ERR_FILE_NOT_OPEN, btrClose(handle));
  }
  EXPECT_EQ(1u, recstore::OpenHandleCount());
  EXPECT_EQ(BTRV_ERR_NONE, btrClose(handle));

  auto third = std::make_unique<recstore::Store>();
  first.reset();
  EXPECT_EQ(third.get(), recstore::Store::Current());
  third.reset();
  EXPECT_EQ(nullptr, recstore::Store::Current());
}

// One row of an insert into the ap table, as the store writes it.
std::string Row(const std::string& record) {
  return "(X'" + Hex(record.substr(0, 16)) + "', X'" + Hex(record) + "')";
}

const std::string kApInsertHead = "INSERT INTO zz_data_ap (Index0Col, RecData) VALUES ";

// The queue goes as one prepared insert with the records as arrays of bytes, or, where the
// server does not take that, as one multi-row statement; the bytes arrive as they were.
TEST_F(RecordStoreTest, BorrowedQueueIsSentAsOneStatement) {
  // Bytes that text would damage: zero, quote, backslash, high bytes.
  const std::vector<std::string> records = {
      "0090000100000101", "0090000100000102tail",
      std::string("00900001000001\0'", 16) + "back\\slash \xFF\xFE"};
  std::vector<std::string> sorted = records;
  std::sort(sorted.begin(), sorted.end());
  for (const bool arrays : {true, false}) {
    SCOPED_TRACE(arrays ? "arrays" : "text");
    int32_t ap = OpenAp();
    std::vector<std::string> sent;
    const auto connection = LendInTransaction(arrays, sent);
    for (const std::string& record : records) {
      ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, record));
    }
    sent.clear();
    EXPECT_EQ(BTRV_ERR_NONE, recstore::Flush());
    EXPECT_EQ(std::vector<std::string>{arrays ? kApInsertHead + "(?, ?)"
                                              : kApInsertHead + Row(records[0]) + ", " +
                                                    Row(records[1]) + ", " + Row(records[2])},
              sent);
    connection->Execute("COMMIT");
    recstore::UseConnection(nullptr);
    EXPECT_EQ(sorted, Scan(ap));
    db_->Run("DELETE FROM zz_data_ap;");
  }
}

TEST_F(RecordStoreTest, DuplicateInAQueuedSendNamesTheRecordsKey) {
  for (const bool arrays : {true, false}) {
    SCOPED_TRACE(arrays ? "arrays" : "text");
    int32_t ap = OpenAp();
    db_->Run("DELETE FROM zz_data_ap;");
    ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, "0090000100000102"));
    std::vector<std::string> sent;
    const auto connection = LendInTransaction(arrays, sent);
    for (const char* record : {"0090000100000101", "0090000100000102again", "0090000100000103"}) {
      ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, record));
    }
    sent.clear();
    EXPECT_EQ(BTRV_ERR_DUPLICATE_KEY, recstore::Flush());
    EXPECT_TRUE(recstore::QueuedInsertsLost());
    const std::string text = recstore::LastErrorText();
    EXPECT_NE(std::string::npos, text.find("X'" + Hex("0090000100000102") + "'")) << text;
    EXPECT_NE(std::string::npos, text.find("zz_data_ap")) << text;
    EXPECT_NE(std::string::npos, text.find("Duplicate")) << text;
    // The statement failed whole; sent again one by one, the records stop at the duplicate.
    EXPECT_EQ(
        (std::vector<std::string>{
            arrays ? kApInsertHead + "(?, ?)"
                   : kApInsertHead + Row("0090000100000101") + ", " + Row("0090000100000102again") +
                         ", " + Row("0090000100000103"),
            "SAVEPOINT recstore_queue", kApInsertHead + Row("0090000100000101"),
            kApInsertHead + Row("0090000100000102again"), "RELEASE SAVEPOINT recstore_queue"}),
        sent);
    // The transaction goes on with the record before the duplicate.
    EXPECT_EQ("2", std::string(connection->Query("SELECT COUNT(*) FROM zz_data_ap").Value(0)));
    connection->Execute("ROLLBACK");
    recstore::UseConnection(nullptr);
    EXPECT_EQ("1", db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
  }
}

TEST_F(RecordStoreTest, LongRecordsSplitTheQueueAtTheStatementBound) {
  int32_t ap = OpenAp();
  const std::size_t bound = std::min<std::size_t>(
      std::stoul(db_->Scalar("SELECT @@max_allowed_packet")) / 2, std::size_t{2} << 20);
  db::Connection connection(db_->settings());
  // The bound is that of a statement's text.
  connection.SetBulkInserts(false);
  std::vector<std::size_t> inserts;  // each insert statement's length
  connection.SetObserver([&inserts](std::string_view sql) {
    if (sql.starts_with("INSERT")) {
      inserts.push_back(sql.size());
    }
  });
  recstore::UseConnection(&connection);
  constexpr int kRecords = 600;
  for (int i = 0; i < kRecords; ++i) {
    std::string record = "00900001" + std::to_string(10000000 + i);
    record.resize(4096, static_cast<char>(i));
    ASSERT_EQ(BTRV_ERR_NONE, Insert(ap, record));
  }
  EXPECT_EQ(BTRV_ERR_NONE, recstore::Flush());
  recstore::UseConnection(nullptr);
  EXPECT_EQ(std::to_string(kRecords), db_->Scalar("SELECT COUNT(*) FROM zz_data_ap"));
  // Rows of some 8 KB: a few statements, each within the bound.
  EXPECT_GT(inserts.size(), 1u);
  EXPECT_LT(inserts.size(), static_cast<std::size_t>(kRecords) / 10);
  for (std::size_t size : inserts) {
    EXPECT_LE(size, bound);
  }
}

}  // namespace
