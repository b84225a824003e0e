// Reading the command line's arguments and checking how they combine.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/cli.h"
#include "copy/table_desc.h"

namespace app {

namespace {

// Reads the arguments into `line`; returns the usage error, or "" when each was understood.
std::string ReadArguments(const std::vector<std::string>& args, CommandLine& line) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string>* target = nullptr;
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    bool* flag = arg == "--dry-run"        ? &line.dry_run
                 : arg == "--verify"       ? &line.verify
                 : arg == "--verify-after" ? &line.verify_after
                 : arg == "--compare"      ? &line.compare
                 : arg == "--atomic"       ? &line.atomic
                 : arg == "--step-by-step" ? &line.step_by_step
                 : arg == "--json"         ? &line.json
                 : arg == "--no-backup"    ? &line.no_backup
                 : arg == "--history"      ? &line.history
                                           : nullptr;
    if (flag != nullptr) {
      *flag = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != arg.npos) {
      name = arg.substr(0, equals);
      inline_value = arg.substr(equals + 1);
    }
    if (name == "--from") {
      target = &line.from_code;
    } else if (name == "--to") {
      target = &line.to_code;
    } else if (name == "--config") {
      target = &line.config_path;
    } else if (name == "--backup-dir") {
      target = &line.backup_dir;
    } else if (name == "--restore") {
      target = &line.restore_file;
    } else if (name == "--only") {
      target = &line.only;
    } else if (name == "--except") {
      target = &line.except;
    } else {
      return "unknown argument \"" + arg + "\"";
    }
    if (target->has_value()) {
      return name + " given twice";
    }
    if (inline_value) {
      *target = *inline_value;
    } else if (i + 1 < args.size()) {
      *target = args[++i];
    } else {
      return name + " needs a value";
    }
  }
  return "";
}

// Reads --only or --except into `line.tables`; returns why the list is refused, or "".
std::string ChooseTables(CommandLine& line) {
  if (!line.only && !line.except) {
    return "";
  }
  try {
    line.tables =
        copy::ParseTableList(line.only ? *line.only : *line.except, line.only.has_value());
  } catch (const std::invalid_argument& e) {
    return std::string(line.only ? "--only" : "--except") + ": " + e.what();
  }
  return "";
}

// Why the options given do not go together, or "" when they do.
std::string CheckCombination(CommandLine& line) {
  if (line.from_code.has_value() != line.to_code.has_value()) {
    return "--from and --to go together";
  }
  if (line.restore_file || line.history) {
    if (line.restore_file && line.history) {
      return "choose one of --restore and --history";
    }
    if (line.compare || line.only || line.except) {
      return "--compare, --only and --except go with --from and --to, not with --restore or "
             "--history";
    }
    if (line.from_code) {
      return "--restore and --history do not take --from and --to";
    }
    if (line.verify || line.verify_after || line.atomic || line.step_by_step) {
      return "--verify, --verify-after, --atomic and --step-by-step go with a run, not with "
             "--restore or --history";
    }
    if (line.history && (line.dry_run || line.no_backup)) {
      return "--dry-run and --no-backup do not go with --history";
    }
    if (line.restore_file && line.restore_file->empty()) {
      return "--restore needs a file";
    }
    return "";
  }
  if ((line.compare || line.only || line.except) && !line.from_code) {
    return "--compare, --only and --except need --from and --to";
  }
  if (line.compare && (line.dry_run || line.verify || line.verify_after || line.atomic ||
                       line.step_by_step || line.no_backup || line.backup_dir)) {
    return "--compare changes nothing and takes only --json, --only, --except and --config "
           "besides --from and --to";
  }
  if (line.only && line.except) {
    return "choose one of --only and --except";
  }
  const bool any_mode = line.dry_run || line.verify || line.verify_after || line.atomic ||
                        line.step_by_step || line.json || line.no_backup || line.backup_dir;
  if (any_mode && !line.from_code) {
    return "--dry-run, --verify, --verify-after, --atomic, --step-by-step, --json, --no-backup "
           "and --backup-dir need --from and --to";
  }
  if (int{line.dry_run} + int{line.verify} + int{line.verify_after} > 1) {
    return "choose one of --dry-run, --verify and --verify-after";
  }
  if (line.atomic && (line.dry_run || line.verify)) {
    return "--atomic goes with a run, not with --dry-run or --verify";
  }
  if (line.step_by_step && (line.dry_run || line.verify)) {
    return "--step-by-step goes with a run, not with --dry-run or --verify";
  }
  if (line.atomic && line.step_by_step) {
    return "choose one of --atomic and --step-by-step";
  }
  if (line.no_backup && (line.dry_run || line.verify)) {
    return "--no-backup goes with a run, not with --dry-run or --verify";
  }
  return ChooseTables(line);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  CommandLine line;
  error = ReadArguments(args, line);
  if (error.empty()) {
    error = CheckCombination(line);
  }
  return error.empty() ? line : CommandLine{};
}

}  // namespace app
