// Every JSON document follows one rule for bytes that are not UTF-8, whichever writes it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup/history.h"
#include "run/json.h"
#include "run/restore_json.h"
#include "run/run_report.h"

namespace {

// A Latin-1 name as an old file system or database hands it over.
constexpr const char* kLatin1 = "/b\xE6kup/\xC3\xC0.sql";
constexpr const char* kEscaped = R"(/b\ufffdkup/\ufffd\ufffd.sql)";

TEST(JsonDocuments, EscapeBytesThatAreNotUtf8AlikeEverywhere) {
  EXPECT_EQ(std::string("\"") + kEscaped + "\"", run::JsonString(kLatin1));

  backup::HistoryEntry entry;
  entry.path = kLatin1;
  entry.problem = "cannot be read";
  EXPECT_EQ(std::string(R"([{"time":"","from":"","to":"","database":"","rows":0,"records":0,)") +
                R"("outcome":"unknown","file":")" + kEscaped + R"(","problem":"cannot be read"}])",
            run::HistoryJson({entry}));

  run::RestoreResult result;
  result.file = kLatin1;
  EXPECT_EQ(std::string(R"({"mode":"restore","file":")") + kEscaped +
                R"(","ok":false,"error":"b\ufffd"})",
            run::RestoreJson(result, false, "b\xE6"));

  run::RunReport report;
  report.from_code = "01";
  report.to_code = "02";
  report.backup_file = kLatin1;
  const std::string run = run::DumpJson(run::RunReportJson(report));
  EXPECT_NE(std::string::npos, run.find(std::string("\"backup_file\":\"") + kEscaped + "\""))
      << run;
}

// A backup of some tables says which, in its history line and its JSON alike.
TEST(JsonDocuments, TheHistoryNamesTheTablesOfABackupOfSome) {
  backup::HistoryEntry entry;
  entry.path = "/b/x.sql";
  entry.time = "t";
  entry.from_code = "01";
  entry.to_code = "02";
  entry.rows = 3;
  entry.records = 1;
  entry.tables = {"Bank", "GLCodes"};
  EXPECT_EQ("t  01 -> 02  3 rows, 1 record  only Bank, GLCodes  unknown  /b/x.sql",
            backup::FormatHistoryLine(entry));
  EXPECT_NE(std::string::npos,
            run::HistoryJson({entry}).find(R"("records":1,"tables":["Bank","GLCodes"],)"));
}

TEST(JsonDocuments, EmptyListsAndAMissingBackupKeepTheirShape) {
  EXPECT_EQ("[]", run::HistoryJson({}));
  run::RestoreResult result;
  result.file = "f.sql";
  result.from_code = "01";
  result.to_code = "02";
  result.sections.push_back({"Bank", 2, 1});
  EXPECT_EQ(R"({"mode":"restore","file":"f.sql","ok":true,"database":"","from":"01","to":"02",)"
            R"("time":"","dry_run":false,"sections":[{"name":"Bank","saved":2,"replaced":1}],)"
            R"("backup":null})",
            run::RestoreJson(result, true, ""));
}

}  // namespace
