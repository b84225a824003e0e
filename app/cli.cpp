// The program's command line and its two modes: the window, and a run without one.
#include "app/cli.h"

#include <cstdlib>
#include <iostream>

#include <QApplication>

#include "app/globals.h"
#include "app/main_form.h"
#include "app/run_sequence.h"

namespace app {

namespace {

int RunWindow(int argc, char** argv) {
  QApplication application(argc, argv);
  TForm1 form;
  Form1 = &form;
  form.show();
  const int status = QApplication::exec();
  Form1 = nullptr;
  return status;
}

int RunHeadless(const std::string& from_code, const std::string& to_code, char* program) {
  // No display is needed for a window that is never shown.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  // Qt sees only the program name: the run's own options are not for it.
  int qt_argc = 1;
  char* qt_argv[] = {program, nullptr};
  QApplication application(qt_argc, qt_argv);

  int messages = 0;
  TForm1 form([&messages](const std::string& text) {
    ++messages;
    std::cerr << "kelvane: " << text << std::endl;
  });
  // A run after a failed set-up would copy the tables but not the ap records, or use the
  // wrong connection; without anyone to look at the window, stop instead.
  if (messages > 0) {
    std::cerr << "error: the set-up failed (see above); nothing was copied" << std::endl;
    return 1;
  }
  form.SetStatusObserver([](std::string_view text) { std::cout << text << std::endl; });
  try {
    form.RunCopy(from_code, to_code);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

std::string UsageText() {
  return "Usage: kelvane                       open the window\n"
         "       kelvane --from AA --to BB     copy agency AA's profile to agency BB, no window\n"
         "Options:\n"
         "  --from CODE     source agency code (two letters or digits)\n"
         "  --to CODE       destination agency code; its profile rows are replaced\n"
         "  --config FILE   configuration file instead of /zarnix/programs/zarfiles.ini\n"
         "                  (the environment variable KELVANE_CONFIG does the same)\n"
         "  --help          show this text\n"
         "  --version       show the version\n"
         "Exit status: 0 done, 1 failed (steps before the failing one stay copied),\n"
         "2 bad usage or refused codes (nothing changed).\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, std::string& error) {
  CommandLine line;
  error.clear();
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
    } else {
      error = "unknown argument \"" + arg + "\"";
      return {};
    }
    if (target->has_value()) {
      error = name + " given twice";
      return {};
    }
    if (inline_value) {
      *target = *inline_value;
    } else if (i + 1 < args.size()) {
      *target = args[++i];
    } else {
      error = name + " needs a value";
      return {};
    }
  }
  if (line.from_code.has_value() != line.to_code.has_value()) {
    error = "--from and --to go together";
    return {};
  }
  return line;
}

int Main(int argc, char** argv) {
  std::string error;
  const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
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
  if (line.config_path) {
    setenv("KELVANE_CONFIG", line.config_path->c_str(), 1);
  }
  if (!line.from_code) {
    return RunWindow(argc, argv);
  }
  if (std::optional<std::string> refusal = CheckCodes(*line.from_code, *line.to_code)) {
    std::cerr << "kelvane: " << *refusal << "\n";
    return 2;
  }
  return RunHeadless(*line.from_code, *line.to_code, argv[0]);
}

}  // namespace app
