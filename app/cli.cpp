// The program's command line and its two modes: the window, and a run without one.
#include "app/cli.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <utility>
#include <vector>

#include "app/console.h"
#include "app/window_main.h"
#include "backup/backup.h"
#include "backup/history.h"
#include "compare/compare.h"
#include "copy/table_desc.h"
#include "db/connection.h"
#include "run/copy_run.h"
#include "run/json.h"
#include "run/restore.h"
#include "run/restore_json.h"
#include "run/run_report.h"
#include "run/session.h"
#include "settings/config.h"
#include <nlohmann/json.hpp>

namespace app {

namespace {

// The rows --compare lists as text; --json lists every one.
constexpr std::size_t kCompareRowsShown = 20;

// Where the lines for a person go: stdout, unless stdout carries the JSON object.
std::ostream& PersonStream(bool json) {
  return json ? std::cerr : std::cout;
}

// A JSON document's members after mode, from, to and ok, in order.
using Members = std::vector<std::pair<std::string, run::Json>>;

// With --json, the mode's document on stdout: mode, from, to, ok, then `members`.
void PrintDocument(const CommandLine& line, const char* mode, bool ok, Members members) {
  if (!line.json) {
    return;
  }
  run::Json json = run::Json::object();
  json["mode"] = mode;
  json["from"] = *line.from_code;
  json["to"] = *line.to_code;
  json["ok"] = ok;
  for (auto& [name, value] : members) {
    json[name] = std::move(value);
  }
  std::cout << run::DumpJson(json) << std::endl;
}

// Ends a headless mode with a failure: the text on stderr and, with --json, the object
// still on stdout, so a reader of stdout always gets one. `run`: the run's report, when
// there was a run.
int Fail(const CommandLine& line, const char* mode, const std::string& text,
         const run::Json* run = nullptr) {
  std::cerr << "error: " << text << std::endl;
  Members members{{"error", text}};
  if (run != nullptr) {
    members.emplace_back("run", *run);
  }
  PrintDocument(line, mode, false, std::move(members));
  return 1;
}

// Prints each step's progress as a line, at most twice a second, so a large table shows
// that the run is alive and a small one prints nothing at all.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(std::ostream& out) : out_(out) {}

  void operator()(std::string_view step, uint64_t inserted, uint64_t selected) {
    const auto now = std::chrono::steady_clock::now();
    if (step != step_) {
      step_ = std::string(step);
      last_ = now;
    }
    if (now - last_ < std::chrono::milliseconds(500)) {
      return;
    }
    last_ = now;
    out_ << step << ": " << inserted << " of " << selected << " rows" << std::endl;
  }

 private:
  std::ostream& out_;
  std::string step_;
  std::chrono::steady_clock::time_point last_;
};

int DryRun(const CommandLine& line, run::Session& session) {
  std::vector<copy::TablePlan> plan;
  try {
    const std::vector<copy::TableDesc> tables = copy::ChooseTables(line.tables);
    const run::Session::TableChecks checks = session.CheckTables(tables);
    if (!checks.problems.empty()) {
      return Fail(line, "dry-run", run::BulletList("a run could not start:", checks.problems));
    }
    plan = session.PlanCopy(*line.from_code, *line.to_code, &checks.catalogue, tables);
  } catch (const std::exception& e) {
    return Fail(line, "dry-run", e.what());
  }
  if (line.json) {
    PrintDocument(line, "dry-run", true, {{"plan", run::PlanJson(plan)}});
  } else {
    for (const copy::TablePlan& entry : plan) {
      std::cout << copy::DescribePlan(entry) << "\n";
    }
    std::cout << "Nothing was changed." << std::endl;
  }
  return 0;
}

// The verification's lines (or JSON array) and whether everything matched; throws what
// VerifyCopy throws.
bool Verify(const CommandLine& line, run::Session& session, run::Json& json_array) {
  const std::vector<compare::VerifyLine> lines =
      session.VerifyCopy(*line.from_code, *line.to_code, copy::ChooseTables(line.tables));
  bool all_ok = true;
  for (const compare::VerifyLine& verify_line : lines) {
    all_ok = all_ok && verify_line.ok;
    PersonStream(line.json) << compare::DescribeVerify(verify_line) << "\n";
  }
  PersonStream(line.json) << (all_ok ? "The destination matches the source."
                                     : "The destination DIFFERS from the source.")
                          << std::endl;
  json_array = run::VerifyJson(lines);
  return all_ok;
}

int VerifyOnly(const CommandLine& line, run::Session& session) {
  run::Json json_array;
  bool all_ok = false;
  try {
    if (const std::vector<std::string> problems =
            session.PreflightProblems(copy::ChooseTables(line.tables));
        !problems.empty()) {
      return Fail(line, "verify", run::BulletList("cannot verify:", problems));
    }
    all_ok = Verify(line, session, json_array);
  } catch (const std::exception& e) {
    return Fail(line, "verify", e.what());
  }
  PrintDocument(line, "verify", all_ok, {{"verify", std::move(json_array)}});
  return all_ok ? 0 : 1;
}

int Run(const CommandLine& line, run::Session& session) {
  std::ostream& person = PersonStream(line.json);
  // Progress stays off a redirected stdout: what is captured there is the run's account.
  std::ostream& progress_out = line.json || !StdoutIsTerminal() ? std::cerr : std::cout;
  ProgressPrinter progress(progress_out);
  const run::RunObserver observer{
      .status = [&person](std::string_view text) { person << text << std::endl; },
      .progress = [&progress](std::string_view step, uint64_t inserted,
                              uint64_t selected) { progress(step, inserted, selected); },
  };
  const run::RunOptions options{
      .mode = line.atomic         ? run::RunMode::kAtomic
              : line.step_by_step ? run::RunMode::kStepByStep
                                  : run::RunMode::kAuto,
      .backup = !line.no_backup,
      .backup_dir = line.backup_dir.value_or(""),
      .tables = line.tables,
  };
  run::RunReport report;
  {
    // The run, and with it its hold on the agencies, ends here: the verification takes
    // the locks again.
    run::CopyRun run(session, *line.from_code, *line.to_code, options);
    try {
      run.Prepare();
      // Said before anything changes: whoever started the run expected all or nothing.
      if (!run.all_or_nothing() && options.mode == run::RunMode::kAuto) {
        std::cerr << "note: " << run::StepByStepNotice(run.step_by_step_reason()) << std::endl;
      }
      report = run.Execute(observer);
    } catch (const std::exception& e) {
      const run::Json run_json = run::RunReportJson(run.report());
      return Fail(line, "run", e.what(), &run_json);
    }
  }
  if (!line.json) {
    std::cout << "\n" << run::FormatRunReport(report) << std::flush;
  }
  run::Json json_array;
  bool all_ok = true;
  if (line.verify_after) {
    try {
      person << "\n";
      all_ok = Verify(line, session, json_array);
    } catch (const std::exception& e) {
      const run::Json run_json = run::RunReportJson(report);
      return Fail(line, "run",
                  std::string("the copy is done, but its verification failed: ") + e.what(),
                  &run_json);
    }
  }
  Members members{{"run", run::RunReportJson(report)}};
  if (line.verify_after) {
    members.emplace_back("verify", std::move(json_array));
  }
  PrintDocument(line, "run", all_ok, std::move(members));
  return all_ok ? 0 : 1;
}

// Exit 0 when a copy would change nothing, 1 when it would (or on a failure), as diff does.
int Compare(const CommandLine& line, run::Session& session) {
  compare::Comparison comparison;
  try {
    comparison =
        session.CompareCopy(*line.from_code, *line.to_code, copy::ChooseTables(line.tables));
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    if (line.json) {
      std::cout << run::DumpJson(run::Json{
                       {"from", *line.from_code}, {"to", *line.to_code}, {"error", e.what()}})
                << std::endl;
    }
    return 1;
  }
  if (line.json) {
    std::cout << run::DumpJson(run::CompareJson(comparison)) << std::endl;
  } else {
    for (const std::string& text : compare::DescribeComparison(comparison, kCompareRowsShown)) {
      std::cout << text << "\n";
    }
    std::cout << std::flush;
  }
  return comparison.Identical() ? 0 : 1;
}

using run::RestoreJson;

int Restore(const CommandLine& line, run::Session& session) {
  run::RestoreResult result;
  result.file = *line.restore_file;
  const run::RestoreOptions options{
      .dry_run = line.dry_run,
      .make_backup = !line.no_backup,
      .backup_dir = line.backup_dir ? *line.backup_dir : "",
      .take_lock = {},  // the restore takes the agency's run lock itself, until it is done
  };
  try {
    session.RequireConnectionParameters();
    session.connection().DropIfGone();
    run::RestoreRun restore(session.connection(), *line.restore_file, options);
    result = restore.Execute();
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    if (line.json) {
      std::cout << RestoreJson(result, false, e.what()) << std::endl;
    }
    return 1;
  }
  std::ostream& person = PersonStream(line.json);
  for (const std::string& text : run::DescribeRestore(result)) {
    person << text << "\n";
  }
  for (const std::string& warning : result.warnings) {
    std::cerr << "warning: " << warning << "\n";
  }
  if (result.dry_run) {
    person << "Nothing was changed." << std::endl;
  } else {
    person << "Agency " << result.to_code << " is restored from " << result.file << "."
           << std::endl;
    if (result.backup) {
      person << "The state it replaced is saved in " << result.backup->path
             << "; kelvane --restore with that file undoes this restore." << std::endl;
    }
  }
  if (line.json) {
    std::cout << RestoreJson(result, true, "") << std::endl;
  }
  return 0;
}

int History(const CommandLine& line) {
  std::vector<backup::HistoryEntry> entries;
  std::string dir;
  try {
    dir = line.backup_dir ? *line.backup_dir : backup::DefaultBackupDir();
    entries = backup::ListBackups(dir);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    if (line.json) {
      std::cout << run::HistoryJson({}) << std::endl;
    }
    return 1;
  }
  if (line.json) {
    std::cout << run::HistoryJson(entries) << std::endl;
    return 0;
  }
  if (entries.empty()) {
    std::cout << "No backups in " << dir << "." << std::endl;
  }
  for (const backup::HistoryEntry& entry : entries) {
    std::cout << backup::FormatHistoryLine(entry) << "\n";
  }
  std::cout << std::flush;
  return 0;
}

int RunHeadless(const CommandLine& line, const std::string& config_path) {
  const char* mode = line.restore_file ? "restore"
                     : line.dry_run    ? "dry-run"
                     : line.verify     ? "verify"
                     : line.compare    ? "compare"
                                       : "run";
  // Without a window the set-up's messages are collected and reported once, below.
  std::vector<std::string> messages;
  run::Session session([&messages](const std::string& text) { messages.push_back(text); },
                       config_path);
  // Without a window the session serves this one run (or restore, check) and ends with it: it
  // opens taking several statements a request, so turning that on and off costs nothing.
  const db::MultiStatements batching(session.connection());
  try {
    session.OpenDatabases();
  } catch (const std::exception& e) {
    messages.push_back(e.what());
  }
  // A run after a failed set-up would copy the tables but not the ap records, or use the
  // wrong connection; without anyone to look at the window, stop instead, and name every
  // problem at once: when the server answers, the preflight's too.
  if (!messages.empty()) {
    try {
      session.RequireConnectionParameters();
      session.connection().DropIfGone();
      session.connection().Open();
      for (std::string& problem : session.PreflightProblems()) {
        messages.push_back(std::move(problem));
      }
    } catch (const std::exception& e) {
      messages.push_back(e.what());
    }
    const std::string text =
        run::BulletList(line.restore_file ? "the set-up failed; nothing was changed:"
                                          : "the set-up failed; nothing was copied:",
                        messages);
    if (line.restore_file) {
      std::cerr << "error: " << text << std::endl;
      if (line.json) {
        run::RestoreResult result;
        result.file = *line.restore_file;
        std::cout << RestoreJson(result, false, text) << std::endl;
      }
      return 1;
    }
    return Fail(line, mode, text);
  }
  if (line.restore_file) {
    return Restore(line, session);
  }
  if (line.dry_run) {
    return DryRun(line, session);
  }
  if (line.verify) {
    return VerifyOnly(line, session);
  }
  if (line.compare) {
    return Compare(line, session);
  }
  return Run(line, session);
}

}  // namespace

std::string UsageText() {
  return "Usage: kelvane                       open the window\n"
         "       kelvane --from AA --to BB     copy agency AA's profile to agency BB, no window\n"
         "       kelvane --compare --from AA --to BB   what that copy would change, row by row\n"
         "Options:\n"
         "  --from CODE     source agency code (two letters or digits)\n"
         "  --to CODE       destination agency code; its profile rows are replaced\n"
         "  --dry-run       with --from/--to: check the run and print per table the rows and\n"
         "                  ap records a run would delete and copy; changes nothing\n"
         "                  (start-up still writes Utility.ini)\n"
         "  --verify        with --from/--to: only compare the destination with the source,\n"
         "                  one line per table and ap record type; changes nothing\n"
         "  --verify-after  with --from/--to: run, then verify as --verify does\n"
         "  --compare       with --from/--to: what a copy would change in the destination,\n"
         "                  per table and ap record type rows only in the source (added),\n"
         "                  only in the destination (removed), differing (changed, with the\n"
         "                  columns) and the same; reads one snapshot, takes no lock and\n"
         "                  changes nothing. Exit 0 when a copy would change nothing, else 1\n"
         "  --only LIST     with --from/--to: copy (or dry-run, verify, compare) only these\n"
         "                  tables, comma-separated (Bank,GLCodes; letter case ignored), each\n"
         "                  with its ap records; the backup holds them alone\n"
         "  --except LIST   the same for every table but these\n"
         "  --atomic        with --from/--to: run everything in one transaction; any failure\n"
         "                  rolls it all back. Refused when a table of the run cannot roll back\n"
         "                  or the cluster cannot take the run as one transaction. Without it\n"
         "                  a run is all or nothing too when it can be, else it says why and\n"
         "                  commits step by step\n"
         "  --step-by-step  with --from/--to: commit each statement on its own, one insert a\n"
         "                  row, as the original program did; each table stands as soon as it\n"
         "                  is copied (for a server or table that cannot take one large\n"
         "                  transaction, or replicas that must not lag behind one)\n"
         "  --json          print the report (run, dry run, verification, comparison, restore\n"
         "                  or history) as JSON on stdout; status lines and progress go to\n"
         "                  stderr\n"
         "  --no-backup     with a run or --restore: do not save the destination's profile\n"
         "                  first (by default every run saves it, so --restore can undo it)\n"
         "  --backup-dir DIR  where backups are saved and listed, instead of\n"
         "                  $XDG_STATE_HOME/kelvane/backups (KELVANE_BACKUP_DIR does the same)\n"
         "  --restore FILE  put back the profile saved in a backup FILE: checks the file,\n"
         "                  saves the current state, then replaces the agency's rows and ap\n"
         "                  records in one transaction; with --dry-run only counts\n"
         "  --history       list the backups, newest first\n"
         "  --config FILE   configuration file instead of /zarnix/programs/zarfiles.ini\n"
         "                  (the environment variable KELVANE_CONFIG does the same)\n"
         "  --help          show this text\n"
         "  --version       show the version\n"
         "Every run is checked first (tables, columns, the ap file); when something is\n"
         "missing nothing runs and every problem is named. A run, dry run or verification\n"
         "is refused while another run uses either agency. A run ends with a report: per\n"
         "step the rows deleted and inserted, ap records deleted and copied, and the time.\n"
         "Tables: Bank, ClassTypes, Company, CmpCont, Department, GLCodes, Producer, Trans,\n"
         "Vendor, AddInt2, DLNAIC, DLLines (in run order).\n"
         "Exit status: 0 done (--verify, --verify-after: and everything matches;\n"
         "--compare: a copy would change nothing),\n"
         "1 failed, refused or differs (a run committed step by step leaves the steps\n"
         "before a failing one copied; one transaction changes nothing; ap records the\n"
         "record store refused count as a failure; --compare: a copy would change\n"
         "something), 2 bad usage, an unknown table or refused codes (nothing changed).\n";
}

int Main(int argc, char** argv) {
  std::string error;
  const CommandLine line = ParseCommandLine(Arguments(argc, argv), error);
  PrepareConsole(error.empty() && !line.help && !line.version && !line.history &&
                 !line.restore_file && !line.from_code);
  if (!error.empty()) {
    std::cerr << "kelvane: " << error << "\n" << UsageText();
    return 2;
  }
  if (line.help) {
    std::cout << UsageText();
    return 0;
  }
  if (line.version) {
    std::cout << "kelvane " << KELVANE_VERSION << "\n";
    return 0;
  }
  // The one place the program reads its configuration's default location.
  const std::string config_path = line.config_path.value_or(settings::ConfigPath());
  if (line.history) {
    return History(line);
  }
  if (line.restore_file) {
    return RunHeadless(line, config_path);
  }
  if (!line.from_code) {
    return RunWindow(argc, argv, config_path);
  }
  if (std::optional<std::string> refusal = run::CheckCodes(*line.from_code, *line.to_code)) {
    std::cerr << "kelvane: " << *refusal << "\n";
    return 2;
  }
  return RunHeadless(line, config_path);
}

}  // namespace app
