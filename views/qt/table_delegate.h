// TableDelegate: paints a row as a strip of columns, each a key box over a
// value box, in the cells' own colours (packet, transaction and data views).
#pragma once

#include <QStyledItemDelegate>

#include <memory>

#include "views/qt/parsed_row.h"

class TableDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  // Columns are narrowed to fit, never below the width of this text.
  static constexpr const char* kProbeText = "0123456789012345678901";
  enum { kRowHeight = 50, kColumnPadding = 10, kBoxMargin = 5, kGroupGap = 10 };

  explicit TableDelegate(QObject* parent = nullptr);
  ~TableDelegate() override;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  std::unique_ptr<ParsedPairRow> m_row;  // the row being painted
};
