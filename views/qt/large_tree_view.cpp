// Appends to QTreeView's item list in place. QTreeView keeps that list in
// its private part and offers no public way to extend it, so this file (and
// only this file) uses Qt's private header, for the one Qt release whose
// layout of it was compiled against; any other build or run falls back to
// QTreeView's own full layout.
#include "views/qt/large_tree_view.h"

#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0) && QT_VERSION < QT_VERSION_CHECK(5, 16, 0) && \
    __has_include(<QtWidgets/private/qtreeview_p.h>)
#define LARGE_TREE_VIEW_IN_PLACE 1
#include <QtWidgets/private/qtreeview_p.h>

#include <cstring>
#endif

LargeTreeView::LargeTreeView(QWidget* parent) : QTreeView(parent) {}

void LargeTreeView::rowsInserted(const QModelIndex& parent, int start, int end) {
  if (appendItems(parent, start, end)) {
    // What QTreeView does besides the layout; the scroll bars follow the
    // longer list at once, so scrollToBottom reaches the new end.
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    viewport()->update();
    return;
  }
  QTreeView::rowsInserted(parent, start, end);
}

#ifndef LARGE_TREE_VIEW_IN_PLACE

bool LargeTreeView::appendItems(const QModelIndex&, int, int) { return false; }

#else

bool LargeTreeView::appendItems(const QModelIndex& parent, int start, int end) {
  // The private part's layout is that of the headers: a Qt library of
  // another release may differ from them.
  static const bool sameQt = strcmp(qVersion(), QT_VERSION_STR) == 0;
  QTreeViewPrivate* d = static_cast<QTreeViewPrivate*>(d_ptr.data());
  // A pending layout rebuilds the whole list anyway, and hidden rows would
  // need their own bookkeeping.
  if (!sameQt || !model() || d->delayedPendingLayout || d->viewItems.isEmpty() ||
      !d->hiddenIndexes.isEmpty() || start < 0 || end < start || parent.column() > 0)
    return false;
  QVector<QTreeViewItem>& items = d->viewItems;
  const int count = items.count();
  int parentItem = -1;
  if (parent != rootIndex()) {
    // Only an expanded row shows its children; a collapsed one costs
    // QTreeView nothing.
    if (!d->isIndexExpanded(parent)) return false;
    parentItem = d->viewIndex(parent);
    if (parentItem < 0 || !items.at(parentItem).expanded) return false;
    // The new items go at the end of the list: the parent's shown subtree
    // must end it.
    if (parentItem + (int)items.at(parentItem).total != count - 1) return false;
  }
  // The parent's last shown child: the ancestor of the list's last item
  // that sits right below the parent. It must be the row before `start`, and
  // `end` the parent's last row, or the list does not match the model.
  int lastChild = parentItem;
  if (parentItem < 0 || items.at(parentItem).total > 0) {
    lastChild = count - 1;
    while (lastChild >= 0 && items.at(lastChild).parentItem != parentItem) lastChild = items.at(lastChild).parentItem;
    if (lastChild < 0) return false;
  }
  if (lastChild == parentItem ? start != 0 : items.at(lastChild).index.row() != start - 1) return false;
  if (model()->rowCount(parent) != end + 1) return false;

  const uint level = parentItem < 0 ? 0 : items.at(parentItem).level + 1;
  const int added = end - start + 1;
  // Mostly both empty: then no row needs asking.
  const bool anyExpanded = !d->expandedIndexes.isEmpty(), anySpanning = !d->spanningIndexes.isEmpty();
  // Growing a QVector copies it into fresh memory, whose first touch is
  // what costs (seconds for a few hundred MB on a busy virtual machine). A
  // long list grows far ahead instead: the reserve is address space only,
  // its pages are touched a tick at a time as rows arrive.
  const int kFarAhead = 1 << 22;  // items (160 MB of address space)
  if (count + added > items.capacity() && count + added >= 65536)
    items.reserve(qMax(2 * (count + added), kFarAhead));
  items.resize(count + added);
  for (int row = start; row <= end; row++) {
    QModelIndex index = model()->index(row, 0, parent);
    // A row shown expanded needs its children laid out: a full layout does.
    if (!index.isValid() || (anyExpanded && d->isIndexExpanded(index))) {
      items.resize(count);
      return false;
    }
    QTreeViewItem& item = items[count + row - start];
    item.index = index;
    item.parentItem = parentItem;
    item.level = level;
    item.spanning = anySpanning && isFirstColumnSpanned(row, parent);
    item.hasChildren = d->hasVisibleChildren(index);
    item.hasMoreSiblings = row < end;
  }
  if (lastChild != parentItem) items[lastChild].hasMoreSiblings = true;
  if (parentItem >= 0) items[parentItem].hasChildren = true;
  for (int i = parentItem; i >= 0; i = items.at(i).parentItem) items[i].total += added;
  m_appendedInPlace += added;
  return true;
}

#endif
