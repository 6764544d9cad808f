// "Trace Config": asks for the bus speed before every trace start and
// stores the choice as the worker's speed code (1 low, 2 full, 3 high).
#pragma once

#include <QDialog>

namespace Ui {
class Dialog;
}

class Dialog : public QDialog {
  Q_OBJECT
 public:
  explicit Dialog(QWidget* parent);
  ~Dialog() override;

 private slots:
  // Reached by name from the form's button box, after accept().
  void on_buttonBox_accepted();

 private:
  Ui::Dialog* ui;
};
