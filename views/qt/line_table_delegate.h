// linetabledelegate: paints a request or descriptor table (parse view) as a
// title box over three columns (Field, Value, Description), the first row
// being the column header. Colours are applied reversed: a cell's text
// colour fills its box and its background colour writes its text.
#pragma once

#include <QStyledItemDelegate>

#include <memory>

#include "views/qt/parsed_row.h"

class linetabledelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  enum {
    kEmptyHeight = 50,   // size hint of an index without payload
    kRowHeight = 30,     // per value row in the size hint
    kFrameHeight = 55,   // title box and margins
    kTitleTop = 5,
    kTitleHeight = 45,   // the title box covers y + 5 .. y + 49
    kColumns = 3,
    kSideMargin = 10,
  };

  explicit linetabledelegate(QObject* parent = nullptr);
  ~linetabledelegate() override;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  std::unique_ptr<ParsedTripleRow> m_row;  // the row being painted or measured
};
