#include "app/dialog.h"

#include "acquisition/qt/interface_io.h"
#include "ui_dialog.h"

Dialog::Dialog(QWidget* parent) : QDialog(parent), ui(new Ui::Dialog) {
  ui->setupUi(this);
  setWindowTitle("Trace Config");
}

Dialog::~Dialog() { delete ui; }

void Dialog::on_buttonBox_accepted() {
  // Combo index 0, 1, 2 is low, full, high speed.
  interface_io::setSpeedCode(ui->cb_speed->currentIndex() + 1);
}
