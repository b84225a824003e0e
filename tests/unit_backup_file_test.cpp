// The backup file's format without a server: its digest, its statements, and what the reader
// refuses.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "backup/backup_file.h"
#include "backup/sha256.h"
#include "copy/table_desc.h"
#include "recstore/ap_file.h"

namespace {

using backup::BackupSection;
using backup::SavedValue;
using backup::SectionBuilder;

// A backup text the parse must refuse, and what its refusal must say.
struct RefusalCase {
  std::string text;
  const char* says;
};

template <std::size_t N>
void ExpectEachRefused(const RefusalCase (&cases)[N]) {
  for (const RefusalCase& c : cases) {
    try {
      backup::ParseBackup(c.text);
      ADD_FAILURE() << "accepted; expected: " << c.says;
    } catch (const backup::BackupFormatError& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says))
          << "expected: " << c.says << "\nsaid: " << e.what();
    }
  }
}

TEST(Sha256Hex, MatchesTheStandardsVectorsAndPaddingEdges) {
  struct Case {
    std::string input;
    const char* digest;
  };

  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.digest, backup::Sha256Hex(c.input)) << c.input.size() << " bytes";
  }
}

SavedValue Bytes(const std::string& bytes) {
  return SavedValue{SavedValue::Form::kBytes, bytes};
}

SavedValue Number(const std::string& text) {
  return SavedValue{SavedValue::Form::kNumber, text};
}

const SavedValue kNull{SavedValue::Form::kNull, ""};

// What a sample file holds, and what an edit of it may change (its checksums computed anew).
struct Sample {
  std::string to = "02";          // the agency the file names
  std::string bank_code = "02";   // the Bank rows' code column
  std::string key = "00900002A";  // the ap record's key
  std::string record = std::string("00900002A\0\xFF", 11);
  std::vector<std::string> columns = {"RowID", "Name", "Amount", "AgyCode"};
  std::vector<std::string> tables = {};  // a run's choice; empty: all twelve
};

// A whole file: two Bank rows, one ap record of type 009, the rest empty.
std::string SampleFile(const Sample& sample = {}) {
  std::vector<BackupSection> sections;
  const std::vector<copy::TableDesc> tables = copy::ChooseTables(sample.tables);
  for (const copy::TableDesc& table : tables) {
    SectionBuilder builder(table.table, table.code_column, sample.to, sample.columns);
    if (table.table == "Bank") {
      const SavedValue code = Bytes(sample.bank_code);
      builder.AddRow({Number("1"), Bytes("O'\\"), Number("-922337203685477.5808"), code});
      builder.AddRow({Number("2"), kNull, Number("1.2345677614212036e-38"), code});
    }
    sections.push_back(builder.Finish());
  }
  for (const copy::TableDesc& table : tables) {
    const std::string& type = table.ap_record_type;
    if (type.empty()) {
      continue;
    }
    SectionBuilder builder(type, sample.to);
    if (type == "009") {
      builder.AddRecord(sample.key, sample.record);
    }
    sections.push_back(builder.Finish());
  }
  return backup::RenderBackup(
      {"Kelvane 1.0.0", "pellam", "2026-12-09 19:40:03.123 +0100", "01", sample.to, sample.tables},
      sections);
}

TEST(SectionBuilder, WritesExplicitColumnsAndExactValues) {
  SectionBuilder builder("Bank", "AgyCode", "02", {"RowID", "Na`me", "Amount"});
  builder.AddRow({Number("1"), Bytes(std::string("O'\\\0", 4)), Number("-922337203685477.5808")});
  builder.AddRow({Number("2"), kNull, Number("5e-324")});
  const BackupSection section = builder.Finish();
  EXPECT_EQ(2u, section.count);
  EXPECT_EQ((std::vector<std::string>{
                "DELETE FROM `Bank` WHERE `AgyCode` = '02'",
                "INSERT INTO `Bank` (`RowID`, `Na``me`, `Amount`) VALUES (1, X'4F275C00', "
                "-922337203685477.5808), (2, NULL, 5e-324)"}),
            section.statements);

  SectionBuilder ap("009", "02");
  ap.AddRecord("k", std::string("\0\xFF", 2));
  EXPECT_EQ((std::vector<std::string>{recstore::ApClearStatement("009", "02"),
                                      "INSERT INTO zz_data_ap (Index0Col, RecData) VALUES "
                                      "(X'6B', X'00FF')"}),
            ap.Finish().statements);
}

TEST(SectionBuilder, RefusesNumbersItCannotWriteExactlyAndWrongWidths) {
  SectionBuilder builder("Bank", "AgyCode", "02", {"Amount"});
  for (const char* text : {"", "1,5", "1.", ".5", "inf", "1e", "0x10", "1 "}) {
    EXPECT_THROW(builder.AddRow({Number(text)}), std::invalid_argument) << text;
  }
  EXPECT_THROW(builder.AddRow({kNull, kNull}), std::invalid_argument);
}

TEST(SectionBuilder, SplitsLongSectionsIntoBoundedInserts) {
  SectionBuilder builder("005", "02");
  for (int i = 0; i < 300; ++i) {
    builder.AddRecord("key" + std::to_string(i), std::string(4096, '\xAB'));
  }
  const BackupSection section = builder.Finish();
  EXPECT_EQ(300u, section.count);
  ASSERT_EQ(4u, section.statements.size());  // the delete and three inserts
  for (const std::string& statement : section.statements) {
    EXPECT_LE(statement.size(), backup::kMaxStatementBytes);
  }

  // Cut again for a server that takes less: the same rows in order, each of the file's
  // inserts (127, 127 and 46 rows) cut on its own, two rows to a statement, or one where a
  // row alone is longer than the bound.
  const std::string head = backup::InsertHead(section);
  const std::size_t row = std::string("X'6B6579313233', X''").size() + 2 * 4096;
  EXPECT_EQ(head.size() + row + 1, backup::LongestSingleRowInsert(section));
  auto rows = [&head](const std::vector<std::string>& inserts, std::size_t first) {
    std::string all;
    for (std::size_t i = first; i < inserts.size(); ++i) {
      all += (i > first ? "), (" : "") +
             inserts[i].substr(head.size(), inserts[i].size() - head.size() - 1);
    }
    return all;
  };
  for (const auto& [bound, count] : {std::pair{std::size_t{20000}, 151u}, {row, 300u}}) {
    std::vector<std::string> cut;
    const std::size_t longest = std::max<std::size_t>(bound, head.size() + row + 1);
    backup::ForEachInsertWithin(section, bound, [&cut, longest](const std::string& statement) {
      EXPECT_LE(statement.size(), longest);
      cut.push_back(statement);
    });
    EXPECT_EQ(count, cut.size());
    EXPECT_EQ(rows(section.statements, 1), rows(cut, 0));
  }
}

TEST(ParseBackup, ReadsBackWhatWasWrittenWithItsOutcome) {
  const std::string text = SampleFile();
  backup::BackupContents contents = backup::ParseBackup(text);
  EXPECT_EQ("pellam", contents.header.database);
  EXPECT_EQ("2026-12-09 19:40:03.123 +0100", contents.header.time);
  EXPECT_EQ("01", contents.header.from_code);
  EXPECT_EQ("02", contents.header.to_code);
  ASSERT_EQ(19u, contents.sections.size());
  EXPECT_EQ("Bank", contents.sections[0].Name());
  EXPECT_EQ(2u, contents.sections[0].count);
  EXPECT_EQ((std::vector<std::string>{"RowID", "Name", "Amount", "AgyCode"}),
            contents.sections[0].columns);
  EXPECT_EQ("ap 009", contents.sections[12].Name());
  EXPECT_EQ(2u, contents.sections[12].statements.size());
  EXPECT_FALSE(contents.completed.has_value());

  EXPECT_TRUE(backup::ParseBackup(text + backup::OutcomeLine(true)).completed.value());
  EXPECT_FALSE(backup::ParseBackup(text + backup::OutcomeLine(false)).completed.value());
  EXPECT_EQ(2u, backup::ParseBackupHeader(text).sections[0].count);
}

// Text changed in ways a checksum of the values alone would not catch must be refused too.
TEST(ParseBackup, RefusesAnythingButTheStatementsItWrites) {
  const std::string text = SampleFile();
  auto replaced = [&text](const std::string& from, const std::string& to) {
    std::string changed = text;
    const std::size_t at = changed.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return changed.replace(at, from.size(), to);
  };

  const RefusalCase cases[] = {
      {text + backup::OutcomeLine(true) + backup::OutcomeLine(true), "after the outcome line"},
      {text + "DROP TABLE Bank;\n", "unexpected text after the end of the backup"},
      {replaced("DELETE FROM `ClassTypes`", "DROP TABLE Bank;\nDELETE FROM `ClassTypes`"),
       "expected the delete of ClassTypes"},
      {replaced("VALUES (1, X'4F275C'", "VALUES (1, 'O\\''"), "a value is damaged"},
      {replaced("(2, NULL, ", "(2, NULL, NULL, "), "a row has the wrong number of values"},
      {replaced("-- to: 02", "-- to: 03"), "expected the delete of Bank"},
      {replaced("-- to: 02", "-- to: 0'"), "agency codes are not two letters or digits"},
      {replaced("START TRANSACTION;\n", ""), "expected \"START TRANSACTION;\""},
      {replaced("-- Kelvane backup 1", "-- Kelvane backup 2"), "it is not a Kelvane backup"},
      {replaced("`Name`, `Amount`", "`Name`, `Extra`, `Amount`"), "the header's checksum"},
      {replaced("\n", "\r\n"), "it is not a Kelvane backup"},
      {text.substr(0, text.size() - 1), "is cut off"},
      {"", "it is not a Kelvane backup"},
  };
  ExpectEachRefused(cases);
}

// A checksum is no secret: a file edited to carry another agency's rows, its checksums
// computed anew, must still be refused, since the restore holds the named agency's lock alone.
TEST(ParseBackup, RefusesRowsOfAnotherAgencyThanTheFileNames) {
  struct Case {
    Sample sample;
    const char* says;  // nullptr: accepted
  };

  const Case cases[] = {
      {{.bank_code = "03"},
       "row 1 of this insert into Bank belongs to another agency (AgyCode '03')"},
      {{.key = "00900003A"}, "(key '00900003A') belongs to another agency (key bytes 7-8 '03')"},
      {{.record = "00900003A"}, "belongs to another agency (record bytes 7-8 '03')"},
      {{.key = "0090000", .record = "0090000"}, "(a key of fewer than 8 bytes)"},
      {{.columns = {"RowID", "Name", "Amount", "Agency"}}, "lack its code column AgyCode"},
      // The code column compares as its collation does, the ap key byte for byte.
      {{.to = "AB", .bank_code = "ab  ", .key = "009000ABx", .record = "009000ABx"}, nullptr},
      {{.to = "AB", .bank_code = "AB", .key = "009000abx", .record = "009000ABx"},
       "(key bytes 7-8 'ab') than the file's agency AB"},
  };
  for (const Case& c : cases) {
    try {
      backup::ParseBackup(SampleFile(c.sample));
      EXPECT_EQ(nullptr, c.says) << "accepted";
    } catch (const backup::BackupFormatError& e) {
      EXPECT_NE(nullptr, c.says) << e.what();
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says ? c.says : "-"))
          << "expected: " << (c.says ? c.says : "accepted") << "\nsaid: " << e.what();
    }
  }
}

// A run of some tables saves those alone, and its file names them: a section missing from a
// file that names its tables is damage, as it is in a file of all twelve.
TEST(ParseBackup, ReadsAFileOfTheChosenTablesAndRefusesOneThatDisagreesWithItsList) {
  const std::string text = SampleFile({.tables = {"Bank", "GLCodes"}});
  const backup::BackupContents contents = backup::ParseBackup(text);
  EXPECT_EQ((std::vector<std::string>{"Bank", "GLCodes"}), contents.header.tables);
  std::vector<std::string> names;
  for (const BackupSection& section : contents.sections) {
    names.push_back(section.Name());
  }
  EXPECT_EQ((std::vector<std::string>{"Bank", "GLCodes", "ap 009", "ap 008"}), names);
  EXPECT_EQ(contents.header.tables, backup::ParseBackupHeader(text).header.tables);
  EXPECT_TRUE(backup::ParseBackup(SampleFile()).header.tables.empty());

  const std::string list = "-- tables: Bank, GLCodes\n";
  const std::string::size_type at = text.find(list);
  ASSERT_NE(std::string::npos, at);
  const auto with_list = [&](const std::string& other) {
    return std::string(text).replace(at, list.size(), other);
  };

  const RefusalCase cases[] = {
      {with_list("-- tables: GLCodes, Bank\n"), "names table Bank twice or out of the run's order"},
      {with_list("-- tables: Bank, Bank, GLCodes\n"), "names table Bank twice"},
      {with_list("-- tables: Bank, Banx\n"), "names an unknown table \"Banx\""},
      {with_list("-- tables: \n"), "names an unknown table \"\""},
      {with_list("-- tables: Bank\n"), "expected \"-- ap 009: ...\""},
      {with_list("-- tables: Bank, GLCodes, Trans\n"), "expected \"-- table Trans: ...\""},
      {with_list(""), "expected \"-- table ClassTypes: ...\""},
  };
  ExpectEachRefused(cases);
}

}  // namespace
