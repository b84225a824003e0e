// The window's font and the modal run of its dialogs.
#include "app/dialog_support.h"

#include <QDialog>

namespace app {

QFont WindowFont() {
  QFont font;
  // Tahoma is rarely installed off Windows; the DejaVu faces come closest, the condensed
  // one in width.
  font.setFamilies({"Tahoma", "DejaVu Sans Condensed", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(19);
  return font;
}

int RunDialog(QDialog& dialog, const DialogHook& hook) {
  dialog.setFont(WindowFont());
  dialog.adjustSize();
  if (hook) {
    hook(dialog);
  }
  return dialog.exec();
}

}  // namespace app
