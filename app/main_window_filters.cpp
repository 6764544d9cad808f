// The packet filters on the tool bar (see main_window.h): kind boxes,
// address and endpoint fields, the popup of the pairs seen on the bus.
#include <QCheckBox>
#include <QDebug>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QToolBar>
#include <QTreeView>
#include <QWidgetAction>

#include "app/filter_mask.h"
#include "app/main_window.h"
#include "decode/cells/attr_flag.h"
#include "decode/data_parse.h"
#include "ui_mainwindow.h"
#include "views/qt/large_tree_model.h"

namespace {

const int kFieldWidth = 100;
// A USB device address has 7 bits, an endpoint number 4.
const int kMaxAddress = 127;
const int kMaxEndpoint = 15;

}  // namespace

QCheckBox* MainWindow::addFilterBox(const char* text, void (MainWindow::*slot)(int)) {
  QCheckBox* box = new QCheckBox(text, this);
  QWidgetAction* action = new QWidgetAction(this);
  action->setDefaultWidget(box);
  ui->toolBar->addAction(action);
  connect(box, &QCheckBox::stateChanged, this, slot);
  return box;
}

QLineEdit* MainWindow::addFilterField(const char* placeholder, int top) {
  QLineEdit* field = new QLineEdit();
  field->setFixedWidth(kFieldWidth);
  field->setPlaceholderText(placeholder);
  field->setValidator(new QIntValidator(0, top, field));
  QPalette p = field->palette();
  p.setColor(QPalette::All, QPalette::PlaceholderText, Qt::white);
  field->setPalette(p);
  ui->toolBar->addWidget(field);
  field->installEventFilter(this);
  // Enter applies the filter at once; otherwise the text counts at the next application.
  connect(field, &QLineEdit::returnPressed, this, &MainWindow::applyAttrFlag);
  return field;
}

void MainWindow::buildFilters() {
  QToolBar* bar = ui->toolBar;
  bar->addSeparator();
  bar->addWidget(new QLabel("Token Filter:"));
  cb_sof = addFilterBox("SOF", &MainWindow::on_cb_sof_stateChanged);
  cb_ping = addFilterBox("PING", &MainWindow::on_cb_ping_stateChanged);
  cb_split = addFilterBox("SPLIT", &MainWindow::on_cb_split_stateChanged);
  bar->addSeparator();
  bar->addWidget(new QLabel("HandShake Filter:"));
  cb_nak = addFilterBox("NAK", &MainWindow::on_cb_nak_stateChanged);
  cb_stall = addFilterBox("STALL", &MainWindow::on_cb_stall_stateChanged);
  cb_err = addFilterBox("ERR", &MainWindow::on_cb_err_stateChanged);
  bar->addSeparator();
  bar->addWidget(new QLabel("Address Filter:"));
  le_addr = addFilterField("Input Addr", kMaxAddress);
  le_ep = addFilterField("Input Ep", kMaxEndpoint);
  le_addr->setObjectName("le_addr");
  le_ep->setObjectName("le_ep");

  addressList = new QListWidget(this);
  addressList->setObjectName("addressList");
  addressList->setFixedWidth(le_addr->width() + le_ep->width());
  addressList->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  addressList->hide();
  connect(addressList, &QListWidget::itemClicked, this, &MainWindow::pickAddress);
}

void MainWindow::on_cb_sof_stateChanged(int) { applyAttrFlag(); }
void MainWindow::on_cb_ping_stateChanged(int) { applyAttrFlag(); }
void MainWindow::on_cb_split_stateChanged(int) { applyAttrFlag(); }
void MainWindow::on_cb_nak_stateChanged(int) { applyAttrFlag(); }
void MainWindow::on_cb_stall_stateChanged(int) { applyAttrFlag(); }
void MainWindow::on_cb_err_stateChanged(int) { applyAttrFlag(); }

void MainWindow::applyAttrFlag() {
  FilterInput in;
  in.sof = cb_sof->isChecked();
  in.ping = cb_ping->isChecked();
  in.split = cb_split->isChecked();
  in.nak = cb_nak->isChecked();
  in.stall = cb_stall->isChecked();
  in.err = cb_err->isChecked();
  in.address = filter_field_value(le_addr->text());
  in.endpoint = filter_field_value(le_ep->text());
  attr_flag = filter_mask(in);
  selectedAddress = (uint8_t)(in.address & 0xFF);
  selectedEndpoint = (uint8_t)(in.endpoint & 0xFF);

  progressBar->show();
  progressBar->setRange(0, 100);
  progressBar->setValue(0);
  qDebug(">>>attr_flag set:%08x\n", attr_flag);
  const struct {
    SessionView view;
    int done;
  } steps[] = {{VIEW_TRANSACTIONS, 30}, {VIEW_PACKAGES, 60}, {VIEW_DATA, 100}};
  for (const auto& s : steps) {
    models_[s.view]->setFilter(attr_flag);
    views_[s.view]->scrollToBottom();
    progressBar->setValue(s.done);
  }
  progressBar->hide();  // the descriptor view is never filtered
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if ((watched != le_addr && watched != le_ep) || event->type() != QEvent::MouseButtonPress)
    return QMainWindow::eventFilter(watched, event);
  QPoint at = le_addr->mapToGlobal(QPoint(0, le_addr->height()));
  addressList->clear();
  addressList->addItem("all");
  // The decoding thread may add pairs meanwhile: read the count once and
  // keep each pair with its item, so a pick never reads a changed table.
  int count = seenEndpoints.count;
  if (count < 0) count = 0;
  if (count > kSeenEndpointsMax) count = kSeenEndpointsMax;
  for (int i = 0; i < count; i++) {
    SeenEndpoint pair = seenEndpoints.pairs[i];
    QListWidgetItem* item = new QListWidgetItem(
        QString("address:%1\tendpoint:%2").arg(pair.address).arg(pair.endpoint), addressList);
    item->setData(Qt::UserRole, (pair.address << 8) | pair.endpoint);
  }
  addressList->setFixedHeight((addressList->count() + 1) * addressList->sizeHintForRow(0));
  addressList->move(at);
  addressList->show();
  return true;
}

void MainWindow::pickAddress(QListWidgetItem* item) {
  if (addressList->currentRow() < 1 || !item || !item->data(Qt::UserRole).isValid()) {
    le_ep->setText("");
    le_addr->setText("");
  } else {
    int pair = item->data(Qt::UserRole).toInt();
    le_ep->setText(QString::number(pair & 0xFF));
    le_addr->setText(QString::number(pair >> 8));
  }
  addressList->hide();
  le_addr->clearFocus();
  le_ep->clearFocus();
  applyAttrFlag();
}
