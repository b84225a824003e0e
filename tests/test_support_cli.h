// Test support: files, temporary folders, runs of the built program and what a run prints.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "db/settings.h"
#include "tests/test_support_files.h"

namespace testing_support {

// The status texts of a whole run in step order, as the status bar shows them and as the
// command line prints them.
inline const std::vector<std::string> kStatusTexts = {"Banks",         "Classes",
                                                      "Companies",     "Company Contacts",
                                                      "Departments",   "GL Codes",
                                                      "Producers",     "Transaction Codes",
                                                      "Vendors",       "Additional Interests",
                                                      "Download NAIC", "Download Lines"};

// `text` as one single-quoted word for /bin/sh, whatever characters it holds.
std::string ShellQuoted(const std::string& text);

// What a run of the built program gave back.
struct CliOutcome {
  int status = -1;  // exit status; -1 when it did not exit normally (a crash)
  std::string out;
  std::string err;
};

// Runs the built program (KELVANE_BIN, which the caller has checked is set) through the shell
// with its working directory `dir`/work, stdin from /dev/null, and KELVANE_CONFIG naming
// `dir`/zarfiles.ini, which is first written for `settings`. `args` is shell text, so it may
// hold quotes; `env`, when not empty, is put before the program as arguments of env(1)
// ("-u NAME", "NAME=value"). stdout and stderr pass through `dir`/out and `dir`/err.
CliOutcome RunKelvane(const std::filesystem::path& dir, const db::ConnectionSettings& settings,
                      const std::string& args, const std::string& env = "");

}  // namespace testing_support
