// Strip layout: one column per entry (Infos first, then Values 10 px
// further), each as wide as its wider text plus 10; when the strip is too
// wide only the widest column gives way, down to the probe text's width.
#include "views/qt/table_delegate.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

#include "decode/cells/row_payload.h"
#include "views/qt/cell_painting.h"

TableDelegate::TableDelegate(QObject* parent)
    : QStyledItemDelegate(parent), m_row(new ParsedPairRow()) {}

TableDelegate::~TableDelegate() = default;

QSize TableDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  if (!index.isValid() || !index.model()) return QSize();
  return QSize(option.rect.width(), kRowHeight);
}

void TableDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
  bool hasValue, convertible;
  const uint8_t* record = payload_record(index, &hasValue, &convertible);
  if (!record) return;
  // Parse at once: the record lives in the model's buffer only until its next read.
  ParsedPairRow& row = *m_row;
  if (parse_pair_row(record, kRowPayloadCapacity, &row) != 0) return;

  QStyledItemDelegate::paint(painter, option, index);  // selection and focus
  painter->save();
  painter->setClipRect(option.rect);
  painter->setPen(Qt::white);
  const QFontMetrics fm(painter->font());

  const uint32_t n = row.infoCount + row.valueCount;
  QString keys[ParsedPairRow::kInfos + ParsedPairRow::kValues];
  QString values[ParsedPairRow::kInfos + ParsedPairRow::kValues];
  int widths[ParsedPairRow::kInfos + ParsedPairRow::kValues];
  int total = 0, widest = 0;
  for (uint32_t i = 0; i < n; i++) {
    bool info = i < row.infoCount;
    uint32_t j = info ? i : i - row.infoCount;
    keys[i] = QString::fromUtf8(info ? row.infos[j].key.text : row.values[j].key.text);
    values[i] = QString::fromUtf8(info ? row.infos[j].value.text : row.values[j].value.text);
    widths[i] = std::max(fm.horizontalAdvance(keys[i]), fm.horizontalAdvance(values[i])) +
                kColumnPadding;
    total += widths[i];
    if (widths[i] > widths[widest]) widest = (int)i;
  }
  const QRect& r = option.rect;
  const int excess = total - r.width();
  if (n > 0 && excess > 0) {
    const int probe = fm.horizontalAdvance(QLatin1String(kProbeText));
    int narrowed = widths[widest] - excess;
    widths[widest] = narrowed > probe ? narrowed : std::min(widths[widest], probe);
  }

  const int boxHeight = (r.height() - 2 * kBoxMargin) / 2;
  const int keyTop = r.top() + kBoxMargin;
  int x = r.left();
  for (uint32_t i = 0; i < n; i++) {
    bool info = i < row.infoCount;
    if (i == row.infoCount) x += kGroupGap;
    uint32_t j = info ? i : i - row.infoCount;
    const ParsedText<kShortTextCap>& key = info ? row.infos[j].key : row.values[j].key;
    const char* valueBgd = info ? row.infos[j].value.bgd : row.values[j].value.bgd;
    const char* valueColor = info ? row.infos[j].value.color : row.values[j].value.color;
    const QRect keyBox(x, keyTop, widths[i], boxHeight);
    const QRect valueBox(x, keyTop + boxHeight, widths[i], boxHeight);
    paint_cell_box(painter, keyBox, key.bgd, key.color, keys[i], kAlignCentre);
    paint_cell_box(painter, valueBox, valueBgd, valueColor,
                   fm.elidedText(values[i], Qt::ElideRight, widths[i]), kAlignCentre);
    x += widths[i];
  }
  painter->restore();
}
