// Test support: a fixture base for tests that drive the main window through its controls.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QCoreApplication>
#include <QDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/main_form.h"
#include "app/text.h"
#include "tests/test_support_cli.h"

namespace testing_support {

// Windows made here record instead of showing: each message box's text goes to messages_
// and each status-bar text to statuses_, in order, so a test can assert on what a user saw.
// Each dialog the window opens is recorded in dialogs_ (its object name) and dialog_texts_
// (its labels and table cells) and answered as answers_ says, front first; with no answer
// queued it gets Enter, its default button, as a user pressing on would give it.
// Controls are reached by their fixed object names.
class FormTest : public testing::Test {
 protected:
  // A new window in the current working directory, with the configuration that
  // KELVANE_CONFIG names; its messages and status texts recorded as above.
  std::unique_ptr<TForm1> MakeForm() {
    auto form =
        std::make_unique<TForm1>([this](const std::string& text) { messages_.push_back(text); });
    form->SetStatusObserver(
        [this](std::string_view text) { statuses_.push_back(std::string(text)); });
    form->SetDialogHook([this](QDialog& dialog) { Answer(dialog); });
    return form;
  }

  // Everything a dialog says: its labels, then its tables a row a line, cells
  // tab-separated.
  static std::string DialogText(QDialog& dialog) {
    QStringList lines;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
      lines << label->text();
    }
    for (QTableWidget* table : dialog.findChildren<QTableWidget*>()) {
      for (int row = 0; row < table->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < table->columnCount(); ++column) {
          cells << (table->item(row, column) ? table->item(row, column)->text() : QString());
        }
        lines << cells.join('\t');
      }
    }
    return app::ToBytes(lines.join('\n'));
  }

  // One answer is a comma-separated list of steps, each "Enter", "Esc" or the object name
  // of a button to click; each step runs once the one before has returned (a click may open
  // a dialog of its own and run it to its end first).
  void Answer(QDialog& dialog) {
    dialogs_.push_back(app::ToBytes(dialog.objectName()));
    dialog_texts_.push_back(DialogText(dialog));
    QStringList steps{"Enter"};
    if (!answers_.empty()) {
      steps = QString::fromStdString(answers_.front()).split(',');
      answers_.pop_front();
    }
    QueueSteps(QPointer<QDialog>(&dialog), steps);
  }

  static void QueueSteps(QPointer<QDialog> dialog, QStringList steps) {
    QTimer::singleShot(0, dialog.data(), [dialog, steps]() mutable {
      QDialog* target = dialog.data();
      if (target == nullptr) {
        return;
      }
      const std::string name = app::ToBytes(target->objectName());
      if (steps.isEmpty()) {
        // Left open it would wait for a user who never comes.
        ADD_FAILURE() << name << " is still open";
        target->reject();
        return;
      }
      const QString step = steps.takeFirst();
      if (step == "Enter") {
        QTest::keyClick(target, Qt::Key_Return);
      } else if (step == "Esc") {
        QTest::keyClick(target, Qt::Key_Escape);
      } else if (auto* button = target->findChild<QPushButton*>(step)) {
        button->click();
      } else {
        ADD_FAILURE() << "no button " << app::ToBytes(step) << " in " << name;
        target->reject();
      }
      // A click may have run nested dialogs; the dialog itself may be gone by now.
      if (const QDialog* still = dialog.data(); still != nullptr && still->isVisible()) {
        QueueSteps(dialog, steps);
      }
    });
  }

  // The child of `form` named `name`; fails the test (and gives null) when there is none.
  template <typename Widget>
  static Widget* Control(TForm1& form, const char* name) {
    auto* widget = form.findChild<Widget*>(name);
    EXPECT_NE(nullptr, widget) << name;
    return widget;
  }

  // The text of the line edit `name`, as the bytes the program stores.
  static std::string Text(TForm1& form, const char* name) {
    return app::ToBytes(Control<QLineEdit>(form, name)->text());
  }

  // A mouse click on the run button.
  static void ClickGo(TForm1& form) {
    QTest::mouseClick(Control<QPushButton>(form, "Button1"), Qt::LeftButton);
  }

  // The focus moving from the field to another control of the window.
  static void Leave(TForm1& form, const char* field) {
    QFocusEvent event(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(Control<QLineEdit>(form, field), &event);
  }

  std::vector<std::string> messages_;
  std::vector<std::string> statuses_;
  std::vector<std::string> dialogs_;
  std::vector<std::string> dialog_texts_;
  std::deque<std::string> answers_;
};

}  // namespace testing_support
