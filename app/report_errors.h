// The one place where the window's event methods catch what their work throws.
#pragma once

#include <functional>
#include <string>

namespace app {

// Receives a message for the user: the text of an error, or one of the program's own.
using MessageSink = std::function<void(const std::string&)>;

// Runs `body`; an exception it throws ends it and its what() goes to `sink`. Nothing
// escapes, so the caller can be a slot called from Qt's event loop.
void ReportErrors(const MessageSink& sink, const std::function<void()>& body) noexcept;

}  // namespace app
