// The model over a row tree, also under Qt's model tester while a second
// thread appends; then LargeTreeView beside a plain QTreeView over the same
// growing model: both must place, scroll, select and paint every row alike.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QEventLoop>
#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "os/log.h"
#include "store/store_files.h"
#include "tests/support/qt_test_util.h"
#include "tests/support/test_env.h"
#include "tests/support/tree_text.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/large_tree_view.h"
#include "views/qt/table_delegate.h"

namespace {

const uint32_t kAck = 0x0800, kNak = 0x1000;
const uint32_t kShowAll = 0xFFFF0000u, kHideNak = 0xFFFF1000u;

using treetext::one;

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orvane_log_set_muted(1);
    store_set_data_dir(dir.path().c_str());
    model = new LargeTreeModel("v.qelvo", "i.qelvo", nullptr);
    ASSERT_NE(model->tree(), nullptr);
  }
  void TearDown() override {
    model->deleteStoreFiles();
    delete model;
    orvane_log_set_muted(0);
  }
  void top(uint32_t attr = kAck) { model->appendRowPar_KV_P(one("t", "1"), one("v", "1"), attr); }
  void sub() { model->appendRowSub_KV_P(one("s", "2"), one("v", "2"), kAck); }
  void subsub() { model->appendRowSubSub_KV_P(one("g", "3"), one("v", "3"), kAck); }

  testenv::TempDir dir;
  LargeTreeModel* model = nullptr;
};

// Each rowsInserted signal since the last call as "parent:first-last "
// (parent 0: the top level).
std::string told(QSignalSpy& inserted) {
  QString out;
  for (const QList<QVariant>& a : inserted)
    out += QString("%1:%2-%3 ").arg(a[0].value<QModelIndex>().internalId()).arg(a[1].toInt()).arg(a[2].toInt());
  inserted.clear();
  return out.toStdString();
}

TEST_F(ModelTest, AnnouncementsNeverGapRepeatOrOvershootAndRowNumbersStayInternalIds) {
  for (int i = 0; i < 20; i++) top();
  EXPECT_EQ(model->rowCount(), 0);  // nothing announced yet
  QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
  const struct {
    int first, end;  // arguments
    const char* told;
    int countAfter;
  } cases[] = {
      {0, 10, "0:0-9 ", 10}, {10, 15, "0:10-14 ", 15}, {12, 14, "", 15},  // already told
      {18, 30, "0:15-19 ", 20},  // a gap is filled, the end held to the live count
      {25, 20, "", 20},          {20, 20, "", 20},  {10, 25, "", 20},  // backward, empty, all told
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.end));
    model->notifyRowsInserted(c.first, c.end);
    EXPECT_EQ(told(inserted), c.told);
    EXPECT_EQ(model->rowCount(), c.countAfter);
  }
  // After a filter hid rows the caller's remembered count is stale: nothing happens.
  top(kNak);
  model->setFilter(kHideNak);
  inserted.clear();
  model->notifyRowsInserted(21, 20);
  EXPECT_EQ(told(inserted), "");
  EXPECT_EQ(model->rowCount(), 20);

  // A clear resets the views and starts again from row one.
  model->setFilter(kShowAll);
  QSignalSpy resets(model, &QAbstractItemModel::modelReset);
  model->clear();
  EXPECT_EQ(resets.count(), 1);
  EXPECT_EQ(model->rowCount(), 0);
  top(kAck), top(kNak), top(kAck);
  EXPECT_EQ(model->announceRows(), 3);
  EXPECT_EQ(model->index(0, 0).internalId(), 1u);
  model->setFilter(kHideNak);
  EXPECT_EQ(model->rowCount(), 2);
  EXPECT_EQ(model->index(1, 0).internalId(), 3u);
  EXPECT_FALSE(model->index(2, 0).isValid());
  model->setFilter(kShowAll);
  EXPECT_EQ(model->rowCount(), 3);

  // An unreadable payload reads as empty, not as the row read before.
  top();
  model->announceRows();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(
      (uintptr_t)model->data(model->index(0, 0), LargeTreeModel::PayloadRole).toULongLong());
  ASSERT_EQ(p[0], 0xA5);
  // Row 4's entry loses its value record: its read must not show row 1.
  RowTree* t = model->tree();
  IndexEntry broken = t->lastPar;
  broken.value_offset = 1;
  ASSERT_EQ(0, rowstore_update_entry(t->store, t->lastParOffset, &broken));
  ASSERT_EQ(0, rowstore_publish(t->store));
  model->data(model->index(3, 0), LargeTreeModel::PayloadRole);
  EXPECT_EQ(p[0], 0);
}

TEST_F(ModelTest, GrowthUnderTheLastRowsWaitsForItsAnnouncementAndOnlyCompleteChildlessRowsAreLeaves) {
  top(), sub();
  model->announceRows();
  QModelIndex first = model->index(0, 0);
  EXPECT_EQ(model->rowCount(first), 1);
  sub(), subsub();  // row 3 under row 1, row 4 under row 3
  EXPECT_EQ(model->rowCount(first), 1);  // the views were told 1
  EXPECT_FALSE(model->index(1, 0, first).isValid());
  QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
  model->announceChildRows();
  EXPECT_EQ(told(inserted), "1:1-1 ");
  QModelIndex third = model->index(1, 0, first);
  ASSERT_EQ(third.internalId(), 3u);
  EXPECT_EQ(model->rowCount(third), 1);
  subsub();
  top();  // row 6: rows 1 and 3 are complete now, but the views still wait
  EXPECT_EQ(model->rowCount(third), 1);
  EXPECT_EQ(model->announceRows(), 1);
  EXPECT_EQ(told(inserted), "0:1-1 3:1-1 ");  // the new top row, then row 3's new child
  EXPECT_EQ(model->rowCount(third), 2);
  model->announceRows();
  EXPECT_EQ(told(inserted), "");
  EXPECT_EQ(model->rowCount(third), 2);

  // Views skip their questions about rows marked as never having children:
  // only a row that is complete and childless may carry the mark.
  auto never = [&](int r) { return bool(model->flags(model->index(r, 0)) & Qt::ItemNeverHasChildren); };
  EXPECT_FALSE(never(0));
  EXPECT_FALSE(never(1));  // row 6 may still get children
  EXPECT_FALSE(model->hasChildren(model->index(1, 0)));
  sub(), top(), top();  // row 6 got its child and is complete, row 8 is complete and childless
  model->announceRows();
  for (int pass = 0; pass < 2; pass++) {  // as announced, and rebuilt by a filter change
    EXPECT_FALSE(never(1));
    EXPECT_TRUE(model->hasChildren(model->index(1, 0)));
    EXPECT_EQ(model->rowCount(model->index(1, 0)), 1);
    EXPECT_TRUE(never(2));
    EXPECT_FALSE(model->hasChildren(model->index(2, 0)));
    model->setFilter(kShowAll);
  }
}

TEST_F(ModelTest, ModelTesterPassesWhileAnotherThreadAppends) {
  qttest::LogCapture log;  // the tester reports each fault as a "FAIL!" warning
  QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::Warning);
  // The tester walks every announced row on every announcement, so a fill
  // overlaps only a few ticks: several short fills give the races their chances.
  const int rounds = 20, groups = 500;  // transactions: 1 + 2 + 4 rows each
  for (int round = 0; round < rounds && !log.contains("FAIL!"); round++) {
    model->clear();
    model->setFilter(kShowAll);
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int i = 0; i < groups; i++) {
        top(i % 2 ? kNak : kAck);
        for (int j = 0; j < 2; j++) sub(), subsub(), subsub();
      }
      done = true;
    });
    QEventLoop loop;
    QTimer tick;
    int ticks = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      if (++ticks == 2) model->setFilter(kHideNak);  // a reset in the middle of the fill
      model->announceRows();
      if (done && ticks >= 2) loop.quit();
    });
    tick.start(1);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);  // a hung test fails, not hangs
    loop.exec();
    worker.join();
    model->announceRows();
    ASSERT_EQ(model->rowCount(), groups / 2);
    EXPECT_EQ((uint32_t)model->rowCount(), model->liveRowCount());
    for (int r = 0; r < model->rowCount(); r++) {
      QModelIndex t = model->index(r, 0);
      ASSERT_EQ(model->rowCount(t), 2) << r;
      ASSERT_EQ(model->rowCount(model->index(1, 0, t)), 2) << r;
    }
  }
  EXPECT_FALSE(log.contains("FAIL!"));
}

void expectSameViews(QTreeView& plain, LargeTreeView& large) {
  QAbstractItemModel* m = plain.model();
  ASSERT_GT(m->rowCount(), 0);
  EXPECT_EQ(large.verticalScrollBar()->maximum(), plain.verticalScrollBar()->maximum());
  EXPECT_EQ(large.verticalScrollBar()->value(), plain.verticalScrollBar()->value());
  for (int r = 0; r < m->rowCount(); r++) {
    QModelIndex root = m->index(r, 0);
    ASSERT_EQ(large.visualRect(root), plain.visualRect(root)) << "row " << r;
    ASSERT_EQ(large.isExpanded(root), plain.isExpanded(root)) << "row " << r;
    if (!plain.isExpanded(root)) continue;
    for (int c = 0; c < m->rowCount(root); c++)
      ASSERT_EQ(large.visualRect(m->index(c, 0, root)), plain.visualRect(m->index(c, 0, root)))
          << "row " << r << " child " << c;
  }
  for (int y = 0; y < plain.viewport()->height(); y += 20)
    EXPECT_EQ(large.indexAt(QPoint(30, y)), plain.indexAt(QPoint(30, y))) << "y " << y;
  EXPECT_EQ(large.currentIndex(), plain.currentIndex());
  EXPECT_EQ(large.selectionModel()->selectedRows(), plain.selectionModel()->selectedRows());
  // Branch lines and arrows show the items' sibling and children states.
  EXPECT_TRUE(large.grab().toImage() == plain.grab().toImage());
}

// The fixture's model outlives the views.
TEST_F(ModelTest, LargeTreeViewLaysOutAppendedRowsAsAFullLayoutWould) {
  std::unique_ptr<QStyle> style(QStyleFactory::create("Windows"));
  ASSERT_NE(style, nullptr);
  // Side by side in one window: both alike active or not when painted.
  QWidget window;
  QTreeView plain(&window);
  LargeTreeView large(&window);
  auto both = [&](auto f) { f(static_cast<QTreeView&>(plain)), f(static_cast<QTreeView&>(large)); };
  both([&](QTreeView& v) {
    v.setModel(model);
    v.setFocusPolicy(Qt::NoFocus);  // no focus frame on one of the two
    v.setStyle(style.get());        // one that draws the lines to the next sibling
    v.setItemDelegate(new TableDelegate(&v));
    v.setUniformRowHeights(true);
    v.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    v.setGeometry(&v == &plain ? 0 : 400, 0, 400, 330);
  });
  window.resize(800, 330);
  window.show();
  auto lastRow = [&] { return model->index(model->rowCount() - 1, 0); };
  enum { kKeep, kExpand, kCollapseAndExpand };  // what becomes of the last row afterwards
  const struct {
    int roots;         // new top-level rows, every `childEvery`-th with two children
    int childEvery;
    int lastChildren;  // children for the last row, appended before the new rows
    int last;
    bool refilter;     // the model is reset (filter) before the batch
    int inPlace;       // rows the batch lays out in place
  } batches[] = {
      {40, 5, 0, kKeep, false, 0},  // an empty view lays out in full
      {25, 7, 0, kExpand, false, 25},
      {0, 0, 3, kCollapseAndExpand, false, 3},  // under the expanded last row, which had none
      {10, 4, 2, kKeep, false, 10},  // its new children now sit before the new rows: in full
      {30, 3, 1, kKeep, false, 30},  // a collapsed row's first child: only its arrow changes
      {20, 6, 0, kKeep, true, 20},   // after a reset the first layout is full, then in place
      {1, 0, 0, kKeep, false, 1},
  };
  for (size_t n = 0; n < sizeof batches / sizeof batches[0]; n++) {
    const auto& b = batches[n];
    SCOPED_TRACE(n);
    if (b.refilter) model->setFilter(kShowAll), both([](QTreeView& v) { v.scrollToBottom(); });
    for (int i = 0; i < b.lastChildren; i++) sub();
    for (int i = 0; i < b.roots; i++) {
      top();
      for (int c = 0; b.childEvery && i % b.childEvery == 0 && c < 2; c++) sub();
    }
    qint64 before = large.rowsAppendedInPlace();
    model->announceRows();
    both([](QTreeView& v) { v.scrollToBottom(); });  // as the main window does
    EXPECT_EQ(large.rowsAppendedInPlace() - before, b.inPlace);
    if (n == 0)  // a row in the middle expanded, and a current one
      both([&](QTreeView& v) { v.expand(model->index(5, 0)), v.setCurrentIndex(model->index(7, 0)); });
    if (b.last != kKeep) both([&](QTreeView& v) { v.expand(lastRow()); });
    expectSameViews(plain, large);
    if (b.last == kCollapseAndExpand) {  // its children counted right
      both([&](QTreeView& v) { v.collapse(lastRow()); });
      expectSameViews(plain, large);
      both([&](QTreeView& v) { v.expand(lastRow()); });
      expectSameViews(plain, large);
    }
  }
}

}  // namespace
