// LargeTreeView beside a plain QTreeView over the same growing model: after
// every batch of rows, laid out in place or by a full layout, both views
// must place, scroll, select and paint every row alike.
#include <gtest/gtest.h>

#include <QImage>
#include <QScrollBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTreeView>

#include <memory>

#include "decode/cells/display_cell.h"
#include "os/log.h"
#include "store/store_files.h"
#include "tests/support/test_env.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/large_tree_view.h"
#include "views/qt/table_delegate.h"

namespace {

kvLinkedList* one(const char* key, const char* value) {
  kvLinkedList* l = nullptr;
  kvlist_append(&l, cell_text(key, 0, 0), cell_text(value, 0, 0));
  return l;
}

void setUp(QTreeView& view, LargeTreeModel* model, int x, QStyle* style) {
  view.setModel(model);
  view.setFocusPolicy(Qt::NoFocus);  // no focus frame on one of the two
  view.setStyle(style);              // one that draws the lines to the next sibling
  view.setItemDelegate(new TableDelegate(&view));
  view.setUniformRowHeights(true);
  view.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  view.setGeometry(x, 0, 400, 330);
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

TEST(LargeTreeViewTest, AppendedRowsLaidOutAsAFullLayoutWould) {
  testenv::TempDir dir;
  orvane_log_set_muted(1);
  store_set_data_dir(dir.path().c_str());
  // Declared before the views, so it outlives them.
  std::unique_ptr<LargeTreeModel> model(new LargeTreeModel("v.qelvo", "i.qelvo", nullptr));
  ASSERT_NE(model->tree(), nullptr);
  std::unique_ptr<QStyle> style(QStyleFactory::create("Windows"));
  ASSERT_NE(style, nullptr);
  // Side by side in one window: both alike active or not when painted.
  QWidget window;
  QTreeView plain(&window);
  LargeTreeView large(&window);
  setUp(plain, model.get(), 0, style.get());
  setUp(large, model.get(), 400, style.get());
  window.resize(800, 330);
  window.show();

  auto both = [&](auto f) { f(static_cast<QTreeView&>(plain)), f(static_cast<QTreeView&>(large)); };
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
    if (b.refilter) model->setFilter(0xFFFF0000u), both([](QTreeView& v) { v.scrollToBottom(); });
    for (int i = 0; i < b.lastChildren; i++) model->appendRowSub_KV_P(one("s", "1"), one("v", "1"), 0x0800);
    for (int i = 0; i < b.roots; i++) {
      model->appendRowPar_KV_P(one("t", "1"), one("v", "1"), 0x0800);
      for (int c = 0; b.childEvery && i % b.childEvery == 0 && c < 2; c++)
        model->appendRowSub_KV_P(one("s", "2"), one("v", "2"), 0x0800);
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
  orvane_log_set_muted(0);
}

}  // namespace
