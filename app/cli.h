// The program's command line: the window, or one run without a window.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace app {

// What the command line asks for.
struct CommandLine {
  bool help = false;
  bool version = false;
  std::optional<std::string> from_code;  // with to_code: a run without a window
  std::optional<std::string> to_code;
  std::optional<std::string> config_path;
  // With --from and --to only; at most one of dry_run, verify and verify_after.
  bool dry_run = false;                   // count what a run would do, change nothing
  bool verify = false;                    // compare destination with source only, change nothing
  bool verify_after = false;              // run, then verify
  bool compare = false;                   // what a copy would change, row by row; changes nothing
  bool atomic = false;                    // the run in one transaction (not with dry_run or verify)
  bool step_by_step = false;              // each statement commits on its own (not with atomic)
  bool json = false;                      // stdout holds one JSON object; status lines go to stderr
  bool no_backup = false;                 // a run or restore without saving the destination's state
  std::optional<std::string> backup_dir;  // where backups go, instead of the default
  std::optional<std::string> restore_file;  // put back the state saved in this file
  bool history = false;                     // list the backups
  std::optional<std::string> only;          // --only LIST, as given
  std::optional<std::string> except;        // --except LIST, as given
  // The tables --only or --except choose, as the statements name them, in run order; empty:
  // all twelve.
  std::vector<std::string> tables;
};

// Parses the arguments after the program name. Returns the text of a usage error in `error`
// (and a default CommandLine) when they are not understood.
CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string& error);

// The usage text printed by --help.
std::string UsageText();

// The whole program: no arguments open the window; --from and --to run the copy without a
// window (and without Qt), printing each step's status text as a line and at the end the
// run's report on stdout, progress and messages on stderr (with --json, stdout holds only
// the JSON object). --dry-run and --verify change nothing. --restore puts a backup back,
// --history lists the backups. Returns the exit status: 0 done (for --verify and
// --verify-after: and everything matches; for --compare: a copy would change nothing), 1 a
// failure, a refused check or a mismatch (text on stderr), 2 bad usage, an unknown table or
// refused codes (nothing changed).
int Main(int argc, char** argv);

}  // namespace app
