// DataDelegate: the record parsing behind the data dialog. The main window
// parses the selected data row with it and titles and fills the dialog from
// the parsed arrays ("Package " followed by the first info value).
#pragma once

#include <QStyledItemDelegate>

#include <memory>

#include "decode/cells/row_payload.h"
#include "views/qt/parsed_row.h"

class DataDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit DataDelegate(QObject* parent = nullptr);
  ~DataDelegate() override;

  // Parses the record (as handed out by the model's payload role, whose
  // buffer holds kRowPayloadCapacity bytes). -1 for a null record or one
  // that shows nothing (first byte 0, no marker), else 0.
  int parse(const uint8_t* record, uint32_t len = kRowPayloadCapacity);
  // The last parsed row.
  const ParsedPairRow& row() const { return *m_row; }

 private:
  std::unique_ptr<ParsedPairRow> m_row;
};
