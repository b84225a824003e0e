// What the window's dialogs share: the window's font, and one way to run a dialog modally
// that tests can answer.
#pragma once

#include <functional>

#include <QFont>

class QDialog;

namespace app {

// Called with each dialog the window opens, once it is built and just before it runs
// modally; a test answers it from here (e.g. a queued click on a button found by its object
// name). Empty: the dialog waits for the user.
using DialogHook = std::function<void(QDialog&)>;

// The window's own font: Tahoma at 19 pixels, or the closest face installed.
QFont WindowFont();

// Shows `dialog` modally at the window's font, after handing it to `hook` if there is one,
// and returns its result (QDialog::Accepted or Rejected). The window behind keeps repainting.
int RunDialog(QDialog& dialog, const DialogHook& hook);

}  // namespace app
