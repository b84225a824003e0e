// The one error a failed run, restore or check throws: which step failed, what that means
// for the data, where the saved state is, and why.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "lock/run_lock.h"

namespace run {

// The named steps of a run (and of a restore), in the order they run.
enum class RunStep {
  kCodes,    // the two agency codes
  kLock,     // the agencies' run locks
  kCheck,    // tables, columns, ap handles, engines, cluster limits, record lengths
  kPlan,     // counting what the run deletes and copies
  kBackup,   // saving the destination's state
  kCopy,     // the table copies with their ap records
  kRestore,  // putting a saved state back
  kFinish,   // commit, the ap records the store refused, the backup's outcome
};

// What a failure left behind.
enum class Changed {
  kNothing,  // the data is as before (also after a rollback)
  kPartly,   // the steps in RunError::changed_steps() took effect, the rest did not
  kUnknown,  // nobody can tell (the connection was lost at COMMIT)
};

// "codes", "lock", "check", "plan", "backup", "copy", "restore" or "finish".
constexpr const char* StepName(RunStep step) {
  switch (step) {
    case RunStep::kCodes:
      return "codes";
    case RunStep::kLock:
      return "lock";
    case RunStep::kCheck:
      return "check";
    case RunStep::kPlan:
      return "plan";
    case RunStep::kBackup:
      return "backup";
    case RunStep::kCopy:
      return "copy";
    case RunStep::kRestore:
      return "restore";
    case RunStep::kFinish:
      return "finish";
  }
  return "?";
}

// A failed run. what() is the full text the user reads, exactly as the window and the
// command line show it.
class RunError : public std::runtime_error {
 public:
  struct Details {
    RunStep step = RunStep::kCheck;
    std::string step_text = {};  // in kCopy: the status text of the failing table step
    Changed changed = Changed::kNothing;
    std::vector<std::string> changed_steps = {};  // kPartly: status texts, in run order
    std::string backup_file = {};                 // "" when none was written
    std::string cause = {};                       // the underlying failure's own text
    unsigned int server_error = 0;                // the server's (or client's) number, 0: none
  };

  RunError(const std::string& message, Details details)
      : std::runtime_error(message), details_(std::move(details)) {}

  RunStep step() const { return details_.step; }

  const std::string& step_text() const { return details_.step_text; }

  Changed changed() const { return details_.changed; }

  const std::vector<std::string>& changed_steps() const { return details_.changed_steps; }

  const std::string& backup_file() const { return details_.backup_file; }

  const std::string& cause() const { return details_.cause; }

  unsigned int server_error() const { return details_.server_error; }

  const Details& details() const { return details_; }

 private:
  Details details_;
};

// A run, dry run, verification or restore refused before it changed anything, because another
// run holds one of its agencies: the lock's refusal as a failure of step kLock. what() is
// the lock's message for the user; held() says which code and who holds it.
class LockHeld : public RunError {
 public:
  explicit LockHeld(lock::Held held)
      : RunError(held.what(), {.step = RunStep::kLock, .cause = held.what()}),
        held_(std::move(held)) {}

  const lock::Held& held() const { return held_; }

  // The held code, in upper case.
  const std::string& code() const { return held_.code(); }

  // The holder's connection id on its server; 0 when the server did not show it.
  unsigned long long holder_connection() const { return held_.holder_connection(); }

 private:
  lock::Held held_;
};

}  // namespace run
