#include "views/qt/data_delegate.h"

DataDelegate::DataDelegate(QObject* parent)
    : QStyledItemDelegate(parent), m_row(new ParsedPairRow()) {}  // cleared arrays

DataDelegate::~DataDelegate() = default;

int DataDelegate::parse(const uint8_t* record, uint32_t len) {
  return parse_pair_row(record, len, m_row.get());
}
