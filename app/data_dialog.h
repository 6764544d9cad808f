// "Data Disp": shows the text of one packet of the data view.
#pragma once

#include <QDialog>

namespace Ui {
class DataDialog;
}

class DataDialog : public QDialog {
  Q_OBJECT
 public:
  explicit DataDialog(QWidget* parent);
  ~DataDialog() override;

  // Shows the zero-terminated UTF-8 `text` (rich text is shown as such);
  // null shows nothing.
  void setText(const char* text);

 private:
  Ui::DataDialog* ui;
};
