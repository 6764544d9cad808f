// LargeTreeView: the tree view of the analyzer's views, for models whose
// rows arrive at the end while a capture grows.
//
// QTreeView answers every insert under the root with a layout of all its
// rows, which costs hundreds of milliseconds per refresh step once a view
// holds millions of them. This view lays out only the appended rows when
// they can simply follow the view's item list:
//   1. rows appended after the last child of the root, or of an expanded
//      row whose shown subtree ends the list (the last row growing);
//   2. the view's layout is current (no full layout pending) and no row is
//      hidden; a new row that would show expanded needs a full layout.
// Everything else (inserts in the middle, resets, filter changes, rows of
// collapsed parents) is left to QTreeView as it is.
#pragma once

#include <QTreeView>

class LargeTreeView : public QTreeView {
  Q_OBJECT

 public:
  explicit LargeTreeView(QWidget* parent = nullptr);

  // Rows laid out at the end of the item list so far (not by a full layout).
  qint64 rowsAppendedInPlace() const { return m_appendedInPlace; }

 protected:
  void rowsInserted(const QModelIndex& parent, int start, int end) override;

 private:
  // Adds the items of rows [start, end] of `parent` at the end of the item
  // list; false, with nothing changed, when a full layout is needed.
  bool appendItems(const QModelIndex& parent, int start, int end);

  qint64 m_appendedInPlace = 0;
};
