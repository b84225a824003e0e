// Test support: a fixture base for tests that drive the main window through its controls.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/main_form.h"
#include "app/text.h"
#include "tests/test_support_cli.h"

namespace testing_support {

// Windows made here record instead of showing: each message box's text goes to messages_
// and each status-bar text to statuses_, in order, so a test can assert on what a user saw.
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
    return form;
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
};

}  // namespace testing_support
