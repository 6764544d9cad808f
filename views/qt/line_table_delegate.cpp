#include "views/qt/line_table_delegate.h"

#include <QPainter>

#include "decode/cells/row_payload.h"
#include "views/qt/cell_painting.h"

linetabledelegate::linetabledelegate(QObject* parent)
    : QStyledItemDelegate(parent), m_row(new ParsedTripleRow()) {}

linetabledelegate::~linetabledelegate() = default;

QSize linetabledelegate::sizeHint(const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
  if (!index.isValid() || !index.model()) return QSize();
  bool hasValue, convertible;
  const uint8_t* record = payload_record(index, &hasValue, &convertible);
  if (!hasValue) return QSize(option.rect.width(), kEmptyHeight);
  if (!record) return QSize();
  parse_triple_row(record, kRowPayloadCapacity, m_row.get());
  return QSize(option.rect.width(), kRowHeight * (int)m_row->valueCount + kFrameHeight);
}

// Reversed colours: the text colour fills, the background colour writes.
template <size_t Cap>
static void paint_reversed(QPainter* painter, const QRect& box, const ParsedText<Cap>& cell,
                           int align) {
  paint_cell_box(painter, box, cell.color, cell.bgd, QString::fromUtf8(cell.text), align);
}

void linetabledelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  bool hasValue, convertible;
  const uint8_t* record = payload_record(index, &hasValue, &convertible);
  if (!hasValue) return;
  // Parse before anything else reads the model: the record lives in its buffer.
  ParsedTripleRow& row = *m_row;
  bool parsed = record && parse_triple_row(record, kRowPayloadCapacity, &row) == 0;
  QStyledItemDelegate::paint(painter, option, index);
  if (!parsed) return;

  painter->save();
  const QRect& r = option.rect;
  painter->setClipRect(r);
  painter->setPen(Qt::white);
  const int colWidth = (r.width() - kSideMargin) / kColumns;
  if (row.infoCount > 0) {
    const QRect title(r.left(), r.top() + kTitleTop, kColumns * colWidth, kTitleHeight);
    paint_reversed(painter, title, row.infos[0].key, kAlignCentre);
  }
  const int n = (int)row.valueCount;
  const int rowHeight = n > 0 ? (r.height() - kFrameHeight) / n : 0;
  int y = r.top() + kTitleTop + kTitleHeight;
  for (int i = 0; i < n; i++, y += rowHeight) {
    const ParsedValueTriple& t = row.values[i];
    // The header row is centred; below it the field names sit on the left.
    const int firstAlign = i == 0 ? kAlignCentre : kAlignLeft;
    paint_reversed(painter, QRect(r.left(), y, colWidth, rowHeight), t.key, firstAlign);
    paint_reversed(painter, QRect(r.left() + colWidth, y, colWidth, rowHeight), t.value,
                   kAlignCentre);
    paint_reversed(painter, QRect(r.left() + 2 * colWidth, y, colWidth, rowHeight), t.desc,
                   kAlignCentre);
  }
  painter->restore();
}
