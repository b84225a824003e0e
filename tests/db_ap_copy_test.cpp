// The ap record copy through the record store, checked row by row in the backing table.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/query.h"
#include "recstore/ap_copy.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"
#include "tests/test_support_ap.h"

namespace {

using testing_support::Hex;

// An ap record: type, "000", agency, Num, Seq, then a body that differs per record and
// holds bytes a text path would damage (zero, quote, backslash, bytes above 0x7F).
std::string ApRecord(const std::string& type, const std::string& agency, const std::string& num,
                     std::size_t length = 150) {
  std::string record = type + "000" + agency + num + "01";
  for (std::size_t i = record.size(); i < length; ++i) {
    record += static_cast<char>((i * 7 + static_cast<std::size_t>(num.back())) % 256);
  }
  record.resize(length);
  return record;
}

std::string WithAgency(std::string record, const std::string& agency) {
  record.replace(6, 2, agency);
  return record;
}

// `records` followed by a copy of each of `sources` under `agency`: what the file should
// hold after a copy of `sources` into `agency`.
std::vector<std::string> WithCopies(std::vector<std::string> records,
                                    const std::vector<std::string>& sources,
                                    const std::string& agency) {
  for (const std::string& source : sources) {
    records.push_back(WithAgency(source, agency));
  }
  return records;
}

class ApCopyTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { db_ = std::make_unique<testing_support::ApStoreDatabase>("kap"); }

  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->Run("DELETE FROM zz_data_ap");
    read_ = CBtrvOapi();
    write_ = CBtrvOapi();
    ASSERT_EQ(BTRV_ERR_NONE, btrOpen(read_, "", "ap", 1, 1, 0));
    ASSERT_EQ(BTRV_ERR_NONE, btrOpen(write_, "", "ap", 1, 1, 0));
  }

  void TearDown() override {
    btrClose(read_);
    btrClose(write_);
    EXPECT_EQ(0u, recstore::OpenHandleCount());
  }

  // Puts records in with SQL, so the copy is the only store traffic under test.
  static void Put(const std::vector<std::string>& records) {
    for (const std::string& record : records) {
      db_->Run("INSERT INTO zz_data_ap VALUES (X'" + Hex(record.substr(0, 16)) + "', X'" +
               Hex(record) + "')");
    }
  }

  // The backing table, key 0 to record, checking that every key is the record's start.
  static std::map<std::string, std::string> Table() {
    db::Connection connection(db_->settings());
    db::Result result = connection.Query("SELECT Index0Col, RecData FROM zz_data_ap");
    std::map<std::string, std::string> rows;
    for (; !result.Eof(); result.Next()) {
      std::string key(result.Value(0));
      std::string record(result.Value(1));
      EXPECT_EQ(record.substr(0, 16), key);
      rows[key] = record;
    }
    return rows;
  }

  static std::map<std::string, std::string> Rows(const std::vector<std::string>& records) {
    std::map<std::string, std::string> rows;
    for (const std::string& record : records) {
      rows[record.substr(0, 16)] = record;
    }
    return rows;
  }

  static std::unique_ptr<testing_support::ApStoreDatabase> db_;
  int32_t read_ = 0;
  int32_t write_ = 0;
};

std::unique_ptr<testing_support::ApStoreDatabase> ApCopyTest::db_;

TEST_F(ApCopyTest, CopiesTheKindOfOneAgencyAndNothingElse) {
  const std::vector<std::string> sources = {ApRecord("009", "01", "000001"),
                                            ApRecord("009", "01", "000002"),
                                            ApRecord("009", "01", "000003")};
  const std::vector<std::string> others = {
      ApRecord("009", "00", "000001"), ApRecord("009", "03", "000001"),
      ApRecord("008", "01", "000001"), ApRecord("010", "01", "000001"),
      "00900101000001" + std::string(136, 'x')};  // ProNum "001", agency "01"
  Put(sources);
  Put(others);

  uint32_t size = 7;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "009");
  EXPECT_EQ(3u, stats.copied);
  EXPECT_EQ(0u, stats.refused);

  std::vector<std::string> present = sources;
  present.insert(present.end(), others.begin(), others.end());
  EXPECT_EQ(Rows(WithCopies(present, sources, "02")), Table());
}

TEST_F(ApCopyTest, SourceWithoutRecordsCopiesNothing) {
  const std::vector<std::string> records = {ApRecord("009", "01", "000001"),
                                            ApRecord("006", "05", "000001")};
  Put(records);
  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "05", "06", "009");
  EXPECT_EQ(0u, stats.copied + stats.refused);
  EXPECT_EQ(Rows(records), Table());
  // The source is the last record of the file (its copy sorts before it), so the scan
  // ends at the end of the file; then a prefix past every record fails the first read.
  stats = recstore::CopyApRecords(read_, write_, size, "05", "00", "006");
  EXPECT_EQ(1u, stats.copied);
  stats = recstore::CopyApRecords(read_, write_, size, "09", "01", "009");
  EXPECT_EQ(0u, stats.copied + stats.refused);
}

TEST_F(ApCopyTest, DestinationSortingBeforeTheSource) {
  const std::vector<std::string> sources = {ApRecord("009", "02", "000001"),
                                            ApRecord("009", "02", "000002"),
                                            ApRecord("009", "02", "000003")};
  const std::string after = ApRecord("009", "03", "000001");
  Put(sources);
  Put({after});

  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "02", "01", "009");
  EXPECT_EQ(3u, stats.copied);
  std::vector<std::string> present = sources;
  present.push_back(after);
  EXPECT_EQ(Rows(WithCopies(present, sources, "01")), Table());
}

TEST_F(ApCopyTest, DestinationSortingAfterTheSourceIsNotCopiedAgain) {
  const std::vector<std::string> sources = {ApRecord("009", "01", "000001"),
                                            ApRecord("009", "01", "000002")};
  // A destination record already present (the clearing step normally removes it); the
  // scan meets the first copy before it and stops there.
  const std::string existing_other = WithAgency(ApRecord("009", "01", "000005"), "02");
  Put(sources);
  Put({existing_other});

  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "009");
  EXPECT_EQ(2u, stats.copied);
  EXPECT_EQ(0u, stats.refused);
  std::vector<std::string> present = sources;
  present.push_back(existing_other);
  EXPECT_EQ(Rows(WithCopies(present, sources, "02")), Table());
}

TEST_F(ApCopyTest, RecordsAreCopiedWholeAtTheirOwnLength) {
  // Shorter records first: a length left over from one read must not cut the next.
  const std::vector<std::string> sources = {
      ApRecord("003", "01", "000001", 20), ApRecord("003", "01", "000002", 128),
      ApRecord("003", "01", "000003", 150), ApRecord("003", "01", "000004", 129)};
  Put(sources);

  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "003");
  EXPECT_EQ(4u, stats.copied);
  std::map<std::string, std::string> table = Table();
  for (const std::string& source : sources) {
    std::string copy = WithAgency(source, "02");
    ASSERT_EQ(1u, table.count(copy.substr(0, 16)));
    EXPECT_EQ(Hex(copy), Hex(table[copy.substr(0, 16)])) << source.size();
  }
}

TEST_F(ApCopyTest, RefusedInsertIsSkippedAndCounted) {
  const std::vector<std::string> sources = {ApRecord("005", "01", "000001"),
                                            ApRecord("005", "01", "000002"),
                                            ApRecord("005", "01", "000003")};
  // Same key as the copy of the second source, other content: it must survive as it is.
  const std::string blocker = WithAgency(ApRecord("005", "01", "000002"), "02") + "tail";
  Put(sources);
  Put({blocker});

  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "005");
  EXPECT_EQ(2u, stats.copied);
  EXPECT_EQ(1u, stats.refused);
  std::vector<std::string> expected = sources;
  expected.push_back(blocker);
  expected.push_back(WithAgency(sources[0], "02"));
  expected.push_back(WithAgency(sources[2], "02"));
  EXPECT_EQ(Rows(expected), Table());
}

// A source code that short matches no record; a destination code that short cannot fill
// bytes 7 and 8, and the copy says it copied nothing for that reason.
TEST_F(ApCopyTest, CodesShorterThanTwoCharactersCopyNothing) {
  const std::vector<std::string> sources = {ApRecord("009", "01", "000001")};
  Put(sources);

  const struct {
    const char* from;
    const char* to;
    bool incomplete;
  } cases[] = {{"01", "2", true}, {"01", "", true}, {"0", "02", false}};

  for (const auto& c : cases) {
    uint32_t size = 0;
    const recstore::ApCopyStats stats =
        recstore::CopyApRecords(read_, write_, size, c.from, c.to, "009");
    EXPECT_EQ(0u, stats.copied);
    EXPECT_EQ(c.incomplete, stats.incomplete) << c.from << " to " << c.to << ": " << stats.error;
  }
  EXPECT_EQ(Rows(sources), Table());
}

TEST_F(ApCopyTest, HandlesThatAreNotOpenCopyNothing) {
  Put({ApRecord("009", "01", "000001")});
  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(0, write_, size, "01", "02", "009");
  EXPECT_EQ(0u, stats.copied + stats.refused);
  stats = recstore::CopyApRecords(read_, 0, size, "01", "02", "009");
  EXPECT_EQ(0u, stats.copied);
  EXPECT_EQ(1u, stats.refused);
  EXPECT_EQ(1u, Table().size());
}

// The copy inside a transaction on a borrowed connection, as an atomic run makes it.
class BorrowedApCopyTest : public ApCopyTest {
 protected:
  void SetUp() override {
    ApCopyTest::SetUp();
    connection_ = std::make_unique<db::Connection>(db_->settings());
    connection_->SetObserver(
        [this](std::string_view sql) { ++(sql.substr(0, 6) == "SELECT" ? selects_ : inserts_); });
    connection_->Execute("START TRANSACTION");
    recstore::UseConnection(connection_.get());
    inserts_ = 0;
  }

  void TearDown() override {
    connection_->Execute("ROLLBACK");
    recstore::UseConnection(nullptr);
    ApCopyTest::TearDown();
  }

  // The transaction's rows, seen through the connection it runs on.
  std::size_t RowsInTransaction(const std::string& prefix) {
    return std::stoul(std::string(
        connection_->Query("SELECT COUNT(*) FROM zz_data_ap WHERE Index0Col LIKE '" + prefix + "%'")
            .Value(0)));
  }

  std::unique_ptr<db::Connection> connection_;
  std::size_t selects_ = 0;
  std::size_t inserts_ = 0;
};

TEST_F(BorrowedApCopyTest, CopiesEveryRecordWithAFewReads) {
  std::vector<std::string> sources;
  for (int i = 0; i < 450; ++i) {
    sources.push_back(ApRecord("007", "01", std::to_string(100000 + i), 20 + i % 131));
  }
  Put(sources);
  Put({ApRecord("007", "03", "000001")});

  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "007");
  EXPECT_EQ(450u, stats.copied);
  EXPECT_FALSE(stats.incomplete) << stats.error;
  EXPECT_EQ(450u, RowsInTransaction("00700002"));
  // Reads fetch 200 at once (a thousand of the scan's prefix); the queued inserts go as
  // one statement before each later read and at the end.
  EXPECT_LE(inserts_, 3u);
  EXPECT_LE(selects_, 4u + 1u);  // 3 reads, and the count just above
  connection_->Execute("COMMIT");
  connection_->Execute("START TRANSACTION");  // for TearDown's rollback
  std::map<std::string, std::string> table = Table();
  for (const std::string& source : sources) {
    std::string copy = WithAgency(source, "02");
    EXPECT_EQ(Hex(copy), Hex(table[copy.substr(0, 16)]));
  }
}

TEST_F(BorrowedApCopyTest, AQueuedInsertMeetingAnExistingRecordMakesTheCopyIncomplete) {
  const std::vector<std::string> sources = {ApRecord("005", "01", "000001"),
                                            ApRecord("005", "01", "000002"),
                                            ApRecord("005", "01", "000003")};
  Put(sources);
  Put({WithAgency(ApRecord("005", "01", "000002"), "02") + "tail"});

  uint32_t size = 0;
  recstore::ApCopyStats stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "005");
  EXPECT_TRUE(stats.incomplete);
  EXPECT_NE(std::string::npos, stats.error.find("Duplicate")) << stats.error;
  EXPECT_TRUE(recstore::QueuedInsertsLost());
  // Every kind copied later in the same transaction says so too.
  stats = recstore::CopyApRecords(read_, write_, size, "01", "02", "009");
  EXPECT_TRUE(stats.incomplete);
}

}  // namespace
