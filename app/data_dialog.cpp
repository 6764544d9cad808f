#include "app/data_dialog.h"

#include "ui_datadialog.h"

DataDialog::DataDialog(QWidget* parent) : QDialog(parent), ui(new Ui::DataDialog) {
  ui->setupUi(this);
  setWindowTitle("Data Disp");
}

DataDialog::~DataDialog() { delete ui; }

void DataDialog::setText(const char* text) {
  ui->textBrowser->setText(text ? QString::fromUtf8(text) : QString());
}
