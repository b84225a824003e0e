// The window's event loop.
#include "app/window_main.h"

#include <QApplication>

#include "app/globals.h"
#include "app/main_form.h"

namespace app {

int RunWindow(int argc, char** argv, const std::string& config_path) {
  QApplication application(argc, argv);
  TForm1 form({}, config_path);
  Form1 = &form;
  form.show();
  const int status = QApplication::exec();
  Form1 = nullptr;
  return status;
}

}  // namespace app
