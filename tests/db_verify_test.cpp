// Dry-run counts and verification against a real copy on the server.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare/verify.h"
#include "copy/plan.h"
#include "copy/table_copy.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_copy.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"
#include "recstore/store.h"
#include "tests/test_db.h"

namespace {

using compare::VerifyLine;
using compare::VerifyRun;
using copy::AllTables;
using copy::PlanRun;
using copy::TablePlan;

// Agency 01 has rows in every table, 02 a few to be replaced, 03 a few to be left alone.
// Values take the awkward paths of the value forms: a quote, a backslash, NULLs, flags,
// negative and fractional amounts.
constexpr const char* kSeed = R"sql(
INSERT INTO Bank (AgyCode, Number, Name, AlphaCode, Address1, City, State, ZipCode, Phone, NextCheck, InactiveAcct) VALUES ('01', 'FNB', 'First National', 'FIRST', '100 Main St', 'Springfield', 'IL', '62701', '217-555-0100', 1001, 0);
INSERT INTO Bank (AgyCode, Number, Name) VALUES ('01', 'SEC', 'O''Neil Savings');
INSERT INTO Bank (AgyCode, Number, Name) VALUES ('02', 'OLD', 'Old Bank');
INSERT INTO Bank (AgyCode, Number, Name) VALUES ('03', 'OTH', 'Other Bank');
INSERT INTO ClassTypes (AgyCode, Number, Name, AcordForm, ClassType, RiskType) VALUES ('01', 'CL1', 'Class One', 'ACORD 25', 'P', 3);
INSERT INTO Company (AgyCode, Number, Name, AgyCommision, PolViewType, InactiveAcct, IsMasterCmp, CmpRefersTo) VALUES ('01', 'C1', 'Acme Insurance', 12.5, 2, 0, 1, 'C2');
INSERT INTO Company (AgyCode, Number, Name, AgyCommision, IsMasterCmp, fHasParentCmp) VALUES ('01', 'C2', 'Beta Mutual', -3.25, 0, 1);
INSERT INTO CmpCont (AgyCode, CmpNum, Number, Name, Email, InactiveAcct) VALUES ('01', 'C1', 'K1', 'Jane Roe', 'jane@example.com', 1);
INSERT INTO Department (AgyCode, Number, Name, Email) VALUES ('01', 'D1', 'Sales', 'sales@example.com');
INSERT INTO GLCodes (AgyCode, Number, Name, AlphaCode, GLType, GLSubType, SubAcctType, GLInquiryOption, RepSubTotal, CmpAsVen) VALUES ('01', '1000', 'Cash', 'CASH', 'A', '1', '0', 'Y', 'N', 'N');
INSERT INTO Producer (AgyCode, Number, Name, DefCommission, InactiveAcct, fUseReplyTo, OnlyCSR) VALUES ('01', 'P1', 'Pat Producer', 0.0001, 0, 1, 7);
INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ('01', 'NB', 'New Business', 1);
INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ('02', 'RN', 'Renewal', 2);
INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ('02', 'XX', 'Gone', 3);
INSERT INTO Vendor (AgyCode, Number, Name, Ten99Amt, FedID, DefaultChkType, InactiveAcct) VALUES ('01', 'V1', 'Vendor One', 1500.75, '12-3456789', 4, 1);
INSERT INTO AddInt2 (AgyCode, Number, Name) VALUES ('01', 'AI1', 'Back\\slash Bank');
INSERT INTO DLNAIC (AgyCode, NAIC, Name, ISpare) VALUES ('01', '12345', 'Acme', -1);
INSERT INTO DLLines (AgyCode, AL3Line, ClientType, Name, iSpare3) VALUES ('01', 'AUTOP', -2, 'Auto', 9);
)sql";

struct ExpectedPlan {
  const char* table;
  uint64_t rows_to_delete, rows_to_copy, ap_to_delete, ap_to_copy;
};

class SafeRunTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch_.Run(kSeed);
    for (const char* num : {"A", "C", "D"}) {
      InsertAp(ApRecord("009", "01", num));
    }
    InsertAp(ApRecord("009", "02", "X"));
    InsertAp(ApRecord("009", "03", "Y"));
    InsertAp(ApRecord("003", "01", "A"));
    InsertAp(ApRecord("002", "02", "Z"));
  }

  // Key 0 (type, "000", agency, number, sequence: 16 bytes), then filler up to `length`.
  static std::string ApRecord(const std::string& type, const std::string& agency,
                              const std::string& number, std::size_t length = 150) {
    std::string record = type + "000" + agency + Pad(number, 6) + "01";
    while (record.size() < length) {
      record += static_cast<char>('a' + record.size() % 26);
    }
    return record;
  }

  void InsertAp(const std::string& record) {
    scratch_.Run("INSERT INTO zz_data_ap (Index0Col, RecData) VALUES ('" + record.substr(0, 16) +
                 "', '" + record + "')");
  }

  // Copies `tables` as the window does: FDQuery1 and AddQuery on one connection, the ap
  // records through the record store's own copy on two handles.
  std::vector<copy::TableCopyStats> Copy(const std::vector<copy::TableDesc>& tables,
                                         const std::string& from, const std::string& to) {
    recstore::Store store;  // current for the copy, its connection gone at the end
    recstore::SetConnectionSettings(scratch_.settings());
    MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
    int32_t ap_read = CBtrvOapi();
    int32_t ap_write = CBtrvOapi();
    EXPECT_EQ(BTRV_ERR_NONE, btrOpen(ap_read, "", "ap", 1, 1, 0));
    EXPECT_EQ(BTRV_ERR_NONE, btrOpen(ap_write, "", "ap", 1, 1, 0));
    uint32_t ap_size = 0;
    db::Query select(connection_, "FDQuery1");
    db::Query insert(connection_, "AddQuery");
    auto copy_ap = [&](const std::string& from_code, const std::string& to_code,
                       const std::string& type) -> uint64_t {
      return recstore::CopyApRecords(ap_read, ap_write, ap_size, from_code, to_code, type).copied;
    };
    copy::StepByStepSink sink(insert);
    copy::CopyContext context{.select_query = select,
                              .from_code = from,
                              .to_code = to,
                              .status = {},
                              .copy_ap = copy_ap,
                              .progress = {},
                              .sink = sink};
    std::vector<copy::TableCopyStats> stats;
    for (const copy::TableDesc& table : tables) {
      stats.push_back(copy::CopyTable(table, context));
    }
    btrClose(ap_read);
    btrClose(ap_write);
    // Drops the store's connection before the scratch database goes.
    MCBInitializeFauxBtrieve("zarfiles.ndx", "ovk.ini");
    EXPECT_EQ(0u, recstore::OpenHandleCount());
    return stats;
  }

  // What the run did, table by table, must be what the plan said it would do.
  void ExpectStatsMatchPlan(const std::vector<TablePlan>& plans,
                            const std::vector<copy::TableCopyStats>& stats) {
    ASSERT_EQ(plans.size(), stats.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
      SCOPED_TRACE(plans[i].table);
      EXPECT_EQ(plans[i].counts.rows_to_delete, stats[i].rows_deleted);
      EXPECT_EQ(plans[i].counts.rows_to_copy, stats[i].rows_inserted);
      EXPECT_EQ(plans[i].counts.ap_to_delete, stats[i].ap_deleted);
      EXPECT_EQ(plans[i].counts.ap_to_copy, stats[i].ap_copied);
    }
  }

  // Every line is ok except the one for `subject`, whose text is returned.
  std::string OnlyDifference(const std::vector<VerifyLine>& lines, const std::string& subject) {
    std::string text = "(no line for " + subject + ")";
    for (const VerifyLine& line : lines) {
      EXPECT_EQ(line.subject != subject, line.ok) << compare::DescribeVerify(line);
      if (line.subject == subject) {
        text = line.detail;
      }
    }
    return text;
  }

  // OnlyDifference of a verification of every table from 01 to 02.
  std::string FullRunDifference(const std::string& subject) {
    return OnlyDifference(VerifyRun(connection_, AllTables(), "01", "02"), subject);
  }

  std::string Fingerprint() {
    return scratch_.Scalar(
        "SELECT CONCAT((SELECT COUNT(*) FROM Bank), '/', (SELECT COUNT(*) FROM Trans), '/', "
        "(SELECT COUNT(*) FROM zz_data_ap), '/', (SELECT GROUP_CONCAT(Index0Col) FROM "
        "zz_data_ap))");
  }

  testing_support::ScratchDatabase scratch_{"kvf"};
  db::Connection connection_{scratch_.settings()};
};

TEST_F(SafeRunTest, PlanCountsSeededRowsAndChangesNothing) {
  const ExpectedPlan expected[] = {
      {"Bank", 1, 2, 1, 3},     {"ClassTypes", 0, 1, 0, 0}, {"Company", 0, 2, 0, 1},
      {"CmpCont", 0, 1, 0, 0},  {"Department", 0, 1, 0, 0}, {"GLCodes", 0, 1, 0, 0},
      {"Producer", 0, 1, 1, 0}, {"Trans", 2, 1, 0, 0},      {"Vendor", 0, 1, 0, 0},
      {"AddInt2", 0, 1, 0, 0},  {"DLNAIC", 0, 1, 0, 0},     {"DLLines", 0, 1, 0, 0},
  };
  std::string before = Fingerprint();
  std::vector<TablePlan> plans = PlanRun(connection_, AllTables(), "01", "02");
  ASSERT_EQ(std::size(expected), plans.size());
  for (std::size_t i = 0; i < plans.size(); ++i) {
    SCOPED_TRACE(expected[i].table);
    EXPECT_EQ(expected[i].table, plans[i].table);
    EXPECT_EQ(expected[i].rows_to_delete, plans[i].counts.rows_to_delete);
    EXPECT_EQ(expected[i].rows_to_copy, plans[i].counts.rows_to_copy);
    EXPECT_EQ(expected[i].ap_to_delete, plans[i].counts.ap_to_delete);
    EXPECT_EQ(expected[i].ap_to_copy, plans[i].counts.ap_to_copy);
  }
  EXPECT_EQ("Banks: delete 1 row and 1 ap record (009), copy 2 rows and 3 ap records",
            copy::DescribePlan(plans[0]));
  EXPECT_EQ("Vendors: delete 0 rows, copy 1 row", copy::DescribePlan(plans[8]));
  EXPECT_EQ(before, Fingerprint());
}

TEST_F(SafeRunTest, CopyDoesWhatThePlanSaidAndVerifiesClean) {
  std::vector<TablePlan> plans = PlanRun(connection_, AllTables(), "01", "02");
  ExpectStatsMatchPlan(plans, Copy(AllTables(), "01", "02"));

  std::vector<VerifyLine> lines = VerifyRun(connection_, AllTables(), "01", "02");
  ASSERT_EQ(19u, lines.size());  // twelve tables and seven ap kinds
  for (const VerifyLine& line : lines) {
    EXPECT_TRUE(line.ok) << compare::DescribeVerify(line);
  }
  EXPECT_EQ("Bank: ok, 2 rows", compare::DescribeVerify(lines[0]));
  EXPECT_EQ("ap 009: ok, 3 records", compare::DescribeVerify(lines[1]));
}

TEST_F(SafeRunTest, SameCodeOnBothSidesCopiesNothing) {
  // The clear runs before the select, so the rows and records it would copy are gone.
  std::vector<TablePlan> plans = PlanRun(connection_, AllTables(), "01", "01");
  EXPECT_EQ(2u, plans[0].counts.rows_to_delete);
  EXPECT_EQ(0u, plans[0].counts.rows_to_copy);
  EXPECT_EQ(3u, plans[0].counts.ap_to_delete);
  EXPECT_EQ(0u, plans[0].counts.ap_to_copy);
  ExpectStatsMatchPlan(plans, Copy(AllTables(), "01", "01"));
}

TEST_F(SafeRunTest, RecordTooLongForTheApCopyEndsItsScan) {
  InsertAp(ApRecord("009", "01", "B", 200));
  const std::vector<copy::TableDesc> banks = {copy::TableByMethod("CopyBanks")};
  std::vector<TablePlan> plans = PlanRun(connection_, banks, "01", "02");
  EXPECT_EQ(1u, plans[0].counts.ap_to_copy);  // A only: reading B fails, C and D are not reached
  ExpectStatsMatchPlan(plans, Copy(banks, "01", "02"));

  std::vector<VerifyLine> lines = VerifyRun(connection_, banks, "01", "02");
  EXPECT_EQ(
      "source 4 records, destination 1 record; record '00900002B     01' is missing from the "
      "destination (it is longer than 150 bytes)",
      OnlyDifference(lines, "ap 009"));
}

TEST_F(SafeRunTest, VerifyNamesAnAlteredRowByItsKey) {
  Copy(AllTables(), "01", "02");
  scratch_.Run("UPDATE Bank SET Name = 'Changed' WHERE AgyCode = '02' AND Number = 'FNB'");
  EXPECT_EQ(
      "source 2 rows, destination 2 rows; row Number 'FNB': Name is 'Changed', expected "
      "'First National'",
      FullRunDifference("Bank"));
}

TEST_F(SafeRunTest, VerifyChecksTheLiteralAgainstTheDestination) {
  Copy(AllTables(), "01", "02");
  scratch_.Run("UPDATE Bank SET InactiveAcct = 0 WHERE AgyCode = '02' AND Number = 'SEC'");
  EXPECT_EQ("source 2 rows, destination 2 rows; row Number 'SEC': InactiveAcct is 0, expected 1",
            FullRunDifference("Bank"));
}

// The server reads what the destination holds: a value the copy's own readers would take as
// the right one (a flag of 7 read as true, a NULL read as "") is a difference all the same.
TEST_F(SafeRunTest, VerifyComparesStoredValuesNotWhatTheReadersMakeOfThem) {
  const struct {
    const char* change;
    const char* subject;
    const char* detail;
  } kCases[] = {
      {"UPDATE Company SET fHasParentCmp = 7 WHERE AgyCode = '02' AND Number = 'C2'", "Company",
       "source 2 rows, destination 2 rows; row Number 'C2': fHasParentCmp is 7, expected 1"},
      {"UPDATE Bank SET AlphaCode = NULL WHERE AgyCode = '02' AND Number = 'SEC'", "Bank",
       "source 2 rows, destination 2 rows; row Number 'SEC': AlphaCode is NULL, expected ''"},
  };

  for (const auto& c : kCases) {
    Copy(AllTables(), "01", "02");
    scratch_.Run(c.change);
    EXPECT_EQ(c.detail, FullRunDifference(c.subject)) << c.change;
  }
}

// The server's statement of the copy's rules agrees with the copy's readers on columns
// declared otherwise: flags as words in text, an amount in a DOUBLE, a whole number in a
// DECIMAL, each rounded or read as the copy does.
TEST_F(SafeRunTest, CopyIntoOtherColumnTypesVerifiesClean) {
  scratch_.Run(
      "ALTER TABLE Company MODIFY InactiveAcct VARCHAR(8), MODIFY IsMasterCmp VARCHAR(8), "
      "MODIFY AgyCommision DOUBLE, MODIFY PolViewType DECIMAL(10,2)");
  scratch_.Run(
      "UPDATE Company SET InactiveAcct = ' Yes', IsMasterCmp = 'off', AgyCommision = 2.00005, "
      "PolViewType = 2.5 WHERE AgyCode = '01' AND Number = 'C1'");
  const std::vector<copy::TableDesc> companies = {copy::TableByMethod("CopyCompany")};
  Copy(companies, "01", "02");
  EXPECT_EQ("1|0|2.0001|3.00",
            scratch_.Scalar("SELECT CONCAT_WS('|', InactiveAcct, IsMasterCmp, AgyCommision, "
                            "PolViewType) FROM Company WHERE AgyCode = '02' AND Number = 'C1'"));
  const std::vector<VerifyLine> lines = VerifyRun(connection_, companies, "01", "02");
  EXPECT_EQ("Company: ok, 2 rows", compare::DescribeVerify(lines[0]));
}

TEST_F(SafeRunTest, VerifyNamesRowsMissingOrExtra) {
  Copy(AllTables(), "01", "02");
  scratch_.Run(
      "INSERT INTO Trans (AgyCode, Number, Name, TrnType) VALUES ('02', 'ZZ', 'Extra', 5)");
  scratch_.Run("DELETE FROM DLLines WHERE AgyCode = '02'");
  std::vector<VerifyLine> lines = VerifyRun(connection_, AllTables(), "01", "02");
  for (const VerifyLine& line : lines) {
    if (line.subject == "Trans") {
      EXPECT_EQ("source 1 row, destination 2 rows; row Number 'ZZ' is not in the source",
                line.detail);
    } else if (line.subject == "DLLines") {
      EXPECT_EQ(
          "source 1 row, destination 0 rows; row AL3Line 'AUTOP' is missing from the "
          "destination",
          line.detail);
    } else {
      EXPECT_TRUE(line.ok) << compare::DescribeVerify(line);
    }
  }
}

TEST_F(SafeRunTest, VerifyNamesTheRecordTypeOfAMissingOrAlteredApRecord) {
  Copy(AllTables(), "01", "02");
  scratch_.Run("DELETE FROM zz_data_ap WHERE Index0Col = '00900002C     01'");
  EXPECT_EQ(
      "source 3 records, destination 2 records; record '00900002C     01' is missing from the "
      "destination",
      FullRunDifference("ap 009"));

  scratch_.Run(
      "UPDATE zz_data_ap SET RecData = CONCAT(RecData, 'x') WHERE Index0Col = "
      "'00300002A     01'");
  std::vector<VerifyLine> lines = VerifyRun(connection_, AllTables(), "01", "02");
  for (const VerifyLine& line : lines) {
    if (line.subject == "ap 003") {
      EXPECT_EQ(
          "source 1 record, destination 1 record; record '00300002A     01' differs from its "
          "source",
          line.detail);
    }
  }
}

}  // namespace
