// The two small dialogs: the speed the trace dialog stores, and the packet text dialog.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextBrowser>

#include "acquisition/qt/interface_io.h"
#include "app/data_dialog.h"
#include "app/dialog.h"

TEST(TraceConfig, OkStoresTheChosenSpeedAndCancelKeepsTheOldOne) {
  EXPECT_EQ(interface_io::speedCode(), 2);  // full speed until a dialog was accepted
  struct Case {
    int index;  // -1: leave the combo box as the dialog opens
    bool ok;
    int expected;
  } cases[] = {{-1, true, 3}, {0, true, 1}, {1, false, 1}, {1, true, 2}, {2, false, 2}};
  for (const Case& c : cases) {
    Dialog d(nullptr);
    EXPECT_EQ(d.windowTitle(), "Trace Config");
    QComboBox* speed = d.findChild<QComboBox*>("cb_speed");
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->currentText(), "HighSpeed");  // every dialog starts at high speed
    if (c.index >= 0) speed->setCurrentIndex(c.index);
    QDialogButtonBox* box = d.findChild<QDialogButtonBox*>("buttonBox");
    box->button(c.ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    EXPECT_EQ(d.result(), c.ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(interface_io::speedCode(), c.expected) << c.index << " " << c.ok;
  }
}

TEST(DataDisp, ShowsTheTextAndNothingForNull) {
  DataDialog d(nullptr);
  EXPECT_EQ(d.windowTitle(), "Data Disp");
  QTextBrowser* browser = d.findChild<QTextBrowser*>("textBrowser");
  ASSERT_TRUE(browser);
  d.setText("0x12 \xc3\xa9");
  EXPECT_EQ(browser->toPlainText(), QString::fromUtf8("0x12 \xc3\xa9"));
  d.setText(nullptr);
  EXPECT_TRUE(browser->toPlainText().isEmpty());
}
