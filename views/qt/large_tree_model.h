// LargeTreeModel: the item model of one analyzer view, a thin face over a
// RowTree. Rows live in the tree's mapped files, never in memory; the model
// hands a row's payload out as the address of its read buffer (PayloadRole)
// and the delegates paint it.
//
// Rows are appended on the capture thread at full speed, but a view may only
// see a row after beginInsertRows announced it. So the views are given
// announced counts, and the GUI thread's refresh step announces what grew:
//   1. The root reports the announced count: advanced by notifyRowsInserted
//      (or announceRows), 0 after clear, the re-filtered count after
//      setFilter. liveRowCount() is what the tree holds now.
//   2. Appends only go under the last top-level row and the last
//      second-level row (RowTreeTail). A parent that may still grow keeps
//      the count the views were told, and announceChildRows() announces its
//      growth; every other parent reports its live count, which is final.
//   3. Everything the views are told only ever grows between two resets.
//
// A view lays out every top-level row after each insert under the root
// (index, flags and hasChildren per row). So the model keeps the row number
// and the children state of every announced top-level row in two arrays (5
// bytes a row, read from the tree once, when the row is announced or the
// filter changes), answers those questions from them without a lock, and
// marks rows that are complete and childless ItemNeverHasChildren, which
// spares the view the rest of its questions about them.
#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

#include "views/row_tree.h"

class LargeTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  // The role whose value is the address of the row's payload (unsigned 64-bit).
  enum { PayloadRole = Qt::UserRole };
  // Bytes readable at that address: a whole payload, the rest zeroed.
  enum { kReadBufSize = kRowBufSize };

  explicit LargeTreeModel(QObject* parent = nullptr);
  LargeTreeModel(const char* valueFile, const char* indexFile, QObject* parent = nullptr);
  // Wraps a tree it does not own (the trees of a capture session, filled by
  // the capture worker). The tree must outlive the model.
  LargeTreeModel(RowTree* tree, QObject* parent);
  ~LargeTreeModel() override;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  void setHeaderText(const QString& text);
  // Empties the tree (fresh files, next row 1) inside a model reset.
  void clear();
  // Sets the attribute filter mask inside a model reset.
  void setFilter(uint32_t mask);
  // Announces top-level rows up to `end` (exclusive), starting where the
  // last announcement stopped: never past the live count, never a row twice,
  // nothing for an empty or backward range.
  void notifyRowsInserted(int first, int end);
  // Announces the new children of the parents that may still grow.
  void announceChildRows();
  // The whole refresh step: every new top-level row, then the new children.
  // Returns the number of top-level rows announced.
  int announceRows();
  // Visible top-level rows in the tree now (announced or not).
  uint32_t liveRowCount() const;
  // Deletes both store files; the model is empty afterwards.
  void deleteStoreFiles();

  RowTree* tree() const { return m_tree; }

 public slots:
  void appendRowPar_KV_P(kvLinkedList* Infos, kvLinkedList* Values, uint32_t attrFlag = 0);
  void appendRowSub_KV_P(kvLinkedList* Infos, kvLinkedList* Values, uint32_t attrFlag);
  void appendRowSubSub_KV_P(kvLinkedList* Infos, kvLinkedList* Values, uint32_t attrFlag);

 private:
  void openTree(const char* valueFile, const char* indexFile);
  bool mayGrow(uint32_t row) const;
  // 1 when the row has children, 0 when it has none and never will, 2 when
  // it may still get some (the tree decides at each question).
  uint8_t childState(uint32_t row, uint8_t hasChildrenFlag) const;
  // Reads the top-level rows at positions [m_rootRows.size(), end) into the arrays.
  void extendRoot(uint32_t end) const;
  // Judges again the rows whose state was not final, against the tail now known.
  void settleRoot();
  // The arrays' entry for the top-level row `index` shows (after
  // extending them up to it when `extend`), or null for another index.
  const uint8_t* rootState(const QModelIndex& index) const;
  void forgetRoot();
  QModelIndex indexOfRow(uint32_t row) const;
  static void beginReset(void* self);
  static void endClear(void* self);
  static void endFilter(void* self);

  RowTree* m_tree = nullptr;  // null when the files could not be opened
  bool m_ownsTree = false;
  QString m_header;
  std::unique_ptr<uint8_t[]> m_readBuf;  // data(PayloadRole) copies the row here
  int m_announced = 0;                   // top-level rows the views know
  // Parents that may still grow and whose child count a view was told.
  mutable QHash<uint32_t, int> m_childCounts;
  // The tail at the last announcement; rows after `rows` may all grow.
  RowTreeTail m_tail{};
  // The announced top-level rows in view order (filled up to m_announced
  // on demand), their childState, and how many leading states are final.
  mutable std::vector<uint32_t> m_rootRows;
  mutable std::vector<uint8_t> m_rootStates;
  mutable uint32_t m_settled = 0;
};
