#include "views/qt/cell_painting.h"

#include <QColor>
#include <QPainter>
#include <QVariant>

#include "views/qt/large_tree_model.h"

const uint8_t* payload_record(const QModelIndex& index, bool* hasValue, bool* convertible) {
  QVariant v = index.data(LargeTreeModel::PayloadRole);
  *hasValue = v.isValid();
  bool ok = false;
  qulonglong address = v.isValid() ? v.toULongLong(&ok) : 0;
  *convertible = ok;
  const uint8_t* record = reinterpret_cast<const uint8_t*>((uintptr_t)address);
  return ok && record && record[0] != 0 ? record : nullptr;
}

void paint_cell_box(QPainter* painter, const QRect& box, const char* fill, const char* textColor,
                    const QString& text, int align) {
  if (fill && *fill) painter->fillRect(box, QColor(fill));
  painter->setPen(Qt::white);
  painter->drawRect(box);
  painter->setPen(textColor && *textColor ? QColor(textColor) : QColor(Qt::white));
  painter->drawText(box, align, text);
}
