// Catching at the boundary between the window's event methods and the work they start.
#include "app/report_errors.h"

#include <exception>
#include <iostream>

namespace app {

void ReportErrors(const MessageSink& sink, const std::function<void()>& body) noexcept {
  std::string message;
  try {
    body();
    return;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  try {
    sink(message);
  } catch (...) {
    // The sink is the last resort of reporting; if it fails the text still goes somewhere.
    std::cerr << message << '\n';
  }
}

}  // namespace app
