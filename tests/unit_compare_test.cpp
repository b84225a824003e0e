// How a comparison pairs two agencies' rows, and how a run's tables are chosen, without a
// server.
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compare/compare.h"
#include "copy/table_desc.h"

namespace {

using compare::CompareRow;

// A row keyed by its first value.
CompareRow Row(std::vector<std::optional<std::string>> values) {
  return CompareRow{values.front().value_or(""), std::move(values)};
}

// The entry's rows as "key change columns" lines, and its counts.
std::string Outcome(const compare::CompareEntry& entry) {
  std::string text = std::to_string(entry.counts.same) + " same;";
  for (const compare::RowDifference& row : entry.rows) {
    text += " " + row.key + " " + compare::RowChangeName(row.change);
    for (const std::string& column : row.columns) {
      text += " " + column;
    }
    text += ";";
  }
  return text;
}

TEST(PairRows, PairsByKeyAndRepeatedKeysByContentFirst) {
  const std::optional<std::string> null;

  struct Case {
    std::vector<CompareRow> from;
    std::vector<CompareRow> to;
    const char* outcome;
  };

  const Case cases[] = {
      {{Row({"B1", "x"}), Row({"B2", "y"})}, {Row({"B2", "y"}), Row({"B1", "x"})}, "2 same;"},
      {{Row({"B1", "x"})}, {Row({"B1", "z"})}, "0 same; B1 differ Name;"},
      {{Row({"B1", "x"})}, {}, "0 same; B1 only_from;"},
      {{}, {Row({"B9", "x"})}, "0 same; B9 only_to;"},
      // A NULL is not the empty text a copy writes.
      {{Row({"B1", ""})}, {Row({"B1", null})}, "0 same; B1 differ Name;"},
      // The same key twice on each side: the equal rows pair, whatever their order.
      {{Row({"K", "a"}), Row({"K", "b"})}, {Row({"K", "b"}), Row({"K", "a"})}, "2 same;"},
      {{Row({"K", "a"}), Row({"K", "b"})},
       {Row({"K", "c"}), Row({"K", "a"})},
       "1 same; K differ Name;"},
      {{Row({"K", "a"}), Row({"K", "a"}), Row({"K", "b"})},
       {Row({"K", "b"})},
       "1 same; K only_from; K only_from;"},
      {{Row({"K", "a"})}, {Row({"K", "a"}), Row({"K", "z"})}, "1 same; K only_to;"},
      // Keys come out in order, each key's changes together.
      {{Row({"C", "1"}), Row({"A", "1"})},
       {Row({"B", "1"}), Row({"C", "2"})},
       "0 same; A only_from; B only_to; C differ Name;"},
  };
  for (const Case& c : cases) {
    compare::CompareEntry entry;
    compare::PairRows(c.from, c.to, {"Number", "Name"}, entry);
    EXPECT_EQ(c.outcome, Outcome(entry));
    EXPECT_EQ(entry.counts.only_from + entry.counts.only_to + entry.counts.differ,
              entry.rows.size());
  }
}

TEST(ParseTableList, NamesTheTablesInRunOrderOrRefusesWithTheValidOnes) {
  struct Case {
    const char* list;
    bool only;
    std::vector<std::string> tables;  // empty: refused
  };

  const Case cases[] = {
      {"GLCodes,bank", true, {"Bank", "GLCodes"}},
      {" Bank , Bank", true, {"Bank"}},
      {"Vendor,DLLines",
       false,
       {"Bank", "ClassTypes", "Company", "CmpCont", "Department", "GLCodes", "Producer", "Trans",
        "AddInt2", "DLNAIC"}},
      {"Banx", true, {}},
      {"Bank,", true, {}},
      {"", false, {}},
      {"Bank,ClassTypes,Company,CmpCont,Department,GLCodes,Producer,Trans,Vendor,AddInt2,DLNAIC,"
       "DLLines",
       false,
       {}},
  };
  for (const Case& c : cases) {
    if (c.tables.empty()) {
      EXPECT_THROW(copy::ParseTableList(c.list, c.only), std::invalid_argument) << c.list;
    } else {
      EXPECT_EQ(c.tables, copy::ParseTableList(c.list, c.only)) << c.list;
    }
  }
  try {
    copy::ParseTableList("Banx", true);
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ("unknown table \"Banx\"; the tables are " + copy::TableNames(), e.what());
  }
}

// A comparison must stay usable at thousands of rows a table, also when a key repeats.
TEST(PairRows, StaysFastWhenEveryRowHasTheSameKey) {
  std::vector<CompareRow> from;
  std::vector<CompareRow> to;
  constexpr int kRows = 60000;
  for (int i = 0; i < kRows; ++i) {
    from.push_back(CompareRow{"K", {"K", std::to_string(i)}});
    to.push_back(CompareRow{"K", {"K", std::to_string(kRows - 1 - i)}});
  }
  const auto start = std::chrono::steady_clock::now();
  compare::CompareEntry entry;
  compare::PairRows(std::move(from), std::move(to), {"Number", "Name"}, entry);
  EXPECT_EQ(uint64_t{kRows}, entry.counts.same);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(DescribeComparison, CountsEachTableWithItsRecordsThenTheFirstRowsThatDiffer) {
  compare::Comparison comparison{"02", "03", {}, {}};
  comparison.tables.push_back(
      {"Bank", "", "Banks", {2, 1, 0, 0}, {{"B2", compare::RowChange::kOnlyFrom}}, {{"Memo", 2}}});
  comparison.tables.push_back(
      {"Company",
       "",
       "Companies",
       {2, 0, 1, 1},
       {{"C1", compare::RowChange::kDiffer, {"Name", "City"}}, {"C9", compare::RowChange::kOnlyTo}},
       {}});
  comparison.ap.push_back(
      {"", "009", "Banks", {2, 0, 0, 1}, {{"B1    01", compare::RowChange::kDiffer, {"21"}}}, {}});
  const std::vector<std::string> expected = {
      "Table or ap records  Same  Only in 02  Only in 03  Differ",
      "Bank                    2           1           0       0",
      "ap 009                  2           0           0       1",
      "Company                 2           0           1       1",
      "",
      "Rows and ap records that differ:",
      "Bank 'B2': only in 02 (a copy adds it)",
      "ap 009 'B1    01': differs in byte 21",
      "Company 'C1': differs in Name, City",
      "... and 1 more (--json lists every one)",
      "",
      "Columns the copy does not write, which it leaves at their defaults:",
      "Bank.Memo: 2 rows of 03 hold another value",
      "",
      "A copy of 02 to 03 would change 3 rows and 1 ap record, and reset columns.",
  };
  EXPECT_EQ(expected, compare::DescribeComparison(comparison, 3));
  EXPECT_FALSE(comparison.Identical());
  const compare::Comparison same{"02", "03", {{"Bank", "", "Banks", {3, 0, 0, 0}, {}, {}}}, {}};
  EXPECT_TRUE(same.Identical());
  EXPECT_EQ("A copy of 02 to 03 would change nothing: 03 is identical.",
            compare::DescribeComparison(same, 3).back());
}

}  // namespace
