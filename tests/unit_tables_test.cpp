// Sanity of the twelve table descriptions: order, texts and column lists agree.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "copy/table_copy.h"
#include "copy/table_desc.h"

namespace {

using copy::AllTables;
using copy::TableDesc;
using copy::ValueForm;

struct Expected {
  const char* method;
  const char* table;
  const char* status_text;
  std::size_t columns;
  const char* ap_record_type;
};

const Expected kRunOrder[] = {
    {"CopyBanks", "Bank", "Banks", 14, "009"},
    {"CopyClass", "ClassTypes", "Classes", 6, "006"},
    {"CopyCompany", "Company", "Companies", 42, "003"},
    {"CopyCompanyContacts", "CmpCont", "Company Contacts", 19, ""},
    {"CopyDepartment", "Department", "Departments", 13, "005"},
    {"CopyGL", "GLCodes", "GL Codes", 10, "008"},
    {"CopyProducer", "Producer", "Producers", 22, "002"},
    {"CopyTransaction", "Trans", "Transaction Codes", 4, "007"},
    {"CopyVendor", "Vendor", "Vendors", 28, ""},
    {"CopyAdditionalInterests", "AddInt2", "Additional Interests", 16, ""},
    {"CopyDLNAIC", "DLNAIC", "Download NAIC", 10, ""},
    {"CopyDLLines", "DLLines", "Download Lines", 25, ""},
};

// The column names between the insert's parentheses, split at ", ".
std::vector<std::string> InsertColumnList(const std::string& insert_text) {
  std::size_t open = insert_text.find('(');
  std::size_t close = insert_text.find(')');
  std::string list = insert_text.substr(open + 1, close - open - 1);
  std::vector<std::string> names;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = list.find(", ", start);
    names.push_back(list.substr(start, comma - start));
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 2;
  }
  return names;
}

TEST(Tables, TwelveInRunOrder) {
  ASSERT_EQ(std::size(kRunOrder), AllTables().size());
  for (std::size_t i = 0; i < AllTables().size(); ++i) {
    const TableDesc& table = AllTables()[i];
    const Expected& expected = kRunOrder[i];
    SCOPED_TRACE(expected.method);
    EXPECT_EQ(expected.method, table.method);
    EXPECT_EQ(expected.table, table.table);
    EXPECT_EQ(expected.status_text, table.status_text);
    EXPECT_EQ(expected.columns, table.columns.size());
    EXPECT_EQ(expected.ap_record_type, table.ap_record_type);
    EXPECT_EQ(&table, &copy::TableByMethod(expected.method));
  }
  EXPECT_THROW(copy::TableByMethod("CopyNothing"), std::out_of_range);
}

TEST(Tables, InsertColumnListMatchesColumns) {
  for (const TableDesc& table : AllTables()) {
    SCOPED_TRACE(table.method);
    std::vector<std::string> names;
    for (const copy::ColumnDesc& column : table.columns) {
      names.push_back(column.insert_name);
    }
    EXPECT_EQ(names, InsertColumnList(table.insert_text));
  }
}

TEST(Tables, StatementsNameTheirTableAndEndInOneBlank) {
  for (const TableDesc& table : AllTables()) {
    SCOPED_TRACE(table.method);
    EXPECT_NE(std::string::npos, table.clear_text.find(" " + table.table + " where AgyCode = "));
    EXPECT_NE(std::string::npos, table.select_text.find(" " + table.table + " where AgyCode = "));
    EXPECT_NE(std::string::npos, table.insert_text.find(" " + table.table + " ("));
    EXPECT_EQ(' ', table.clear_text.back());
    EXPECT_EQ(' ', table.select_text.back());
    EXPECT_EQ(0u, table.clear_text.rfind("Delete ", 0));
    EXPECT_EQ(0u, table.select_text.rfind("Select * ", 0));
    EXPECT_EQ(0u, table.insert_text.rfind("Insert ", 0));
    std::string tail = table.insert_text.substr(table.insert_text.size() - 8);
    EXPECT_TRUE(tail == "Values (" || tail == "values (") << tail;
  }
}

TEST(Tables, ColumnFormsAreConsistent) {
  for (const TableDesc& table : AllTables()) {
    SCOPED_TRACE(table.method);
    ASSERT_FALSE(table.columns.empty());
    EXPECT_EQ(ValueForm::kDestCode, table.columns.front().form);
    EXPECT_EQ("AgyCode", table.columns.front().insert_name);
    for (std::size_t i = 1; i < table.columns.size(); ++i) {
      const copy::ColumnDesc& column = table.columns[i];
      SCOPED_TRACE(column.insert_name);
      EXPECT_NE(ValueForm::kDestCode, column.form);
      if (column.form == ValueForm::kLiteral) {
        EXPECT_TRUE(column.source_name.empty());
        EXPECT_FALSE(column.literal.empty());
      } else {
        EXPECT_FALSE(column.source_name.empty());
      }
    }
  }
}

// The quirks that a tidy-minded edit would lose.
TEST(Tables, KeepsTheIrregularTexts) {
  const TableDesc& banks = copy::TableByMethod("CopyBanks");
  EXPECT_EQ(
      "Insert into Bank (AgyCode, Number, Name, AlphaCode, Address1, address2, City, State, "
      "ZipCode, Phone, Fax, Email, NextCheck, InactiveAcct) Values (",
      banks.insert_text);
  EXPECT_EQ("Address2", banks.columns[5].source_name);
  EXPECT_EQ(ValueForm::kLiteral, banks.columns[13].form);
  EXPECT_EQ("1", banks.columns[13].literal);

  EXPECT_EQ("email", copy::TableByMethod("CopyDepartment").columns[11].source_name);
  EXPECT_EQ("Email", copy::TableByMethod("CopyDepartment").columns[11].insert_name);
  EXPECT_EQ("Select * From Vendor where AgyCode = ", copy::TableByMethod("CopyVendor").select_text);
  EXPECT_EQ("Delete From CmpCont where AgyCode = ",
            copy::TableByMethod("CopyCompanyContacts").clear_text);
  EXPECT_EQ(") ", copy::TableByMethod("CopyAdditionalInterests").closing_text);
  EXPECT_EQ(0u, copy::TableByMethod("CopyGL").insert_text.rfind("Insert Into GLCodes (", 0));
  const std::string& lines = copy::TableByMethod("CopyDLLines").insert_text;
  EXPECT_EQ("iSpare3) values (", lines.substr(lines.size() - 17));
  for (const TableDesc& table : AllTables()) {
    if (table.method != "CopyAdditionalInterests") {
      EXPECT_EQ(")", table.closing_text) << table.method;
    }
  }
}

TEST(Tables, StatementTextsForOneTable) {
  const TableDesc& trans = copy::TableByMethod("CopyTransaction");
  EXPECT_EQ("Delete from Trans where AgyCode = '02'", copy::ClearStatement(trans, "02"));
  EXPECT_EQ("Delete from zz_data_ap where Index0Col like '00700002%'",
            copy::ApClearStatement(trans, "02"));
  EXPECT_EQ("Select * from Trans where AgyCode = '01'", copy::SelectStatement(trans, "01"));
  EXPECT_EQ("", copy::ApClearStatement(copy::TableByMethod("CopyVendor"), "02"));
}

TEST(Tables, CodesCannotBreakStatementsOrWidenTheApClear) {
  const TableDesc& banks = copy::TableByMethod("CopyBanks");
  EXPECT_EQ("Delete from Bank where AgyCode = 'O\\''", copy::ClearStatement(banks, "O'"));
  EXPECT_EQ("Select * from Bank where AgyCode = '\\\\'", copy::SelectStatement(banks, "\\"));
  // "%" and "_" in a code are matched literally, not as wildcards.
  EXPECT_EQ("Delete from zz_data_ap where Index0Col like '009000\\\\%\\\\_%'",
            copy::ApClearStatement(banks, "%_"));
}

}  // namespace
