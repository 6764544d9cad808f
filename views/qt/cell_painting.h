// What the delegates share: reading a row's payload address from the model,
// and painting one coloured box.
#pragma once

#include <QModelIndex>
#include <QRect>
#include <QString>

#include <cstdint>

class QPainter;

// Qt alignment flags of the boxes: centred (132) and left, vertically centred (129).
enum { kAlignCentre = Qt::AlignHCenter | Qt::AlignVCenter, kAlignLeft = Qt::AlignLeft | Qt::AlignVCenter };

// The payload behind the index's payload role: *hasValue tells whether the
// role holds anything, *convertible whether it reads as an address. Null
// when there is no address, and also when the record's first byte is 0
// (an empty row). The record holds the model's whole read buffer.
const uint8_t* payload_record(const QModelIndex& index, bool* hasValue, bool* convertible);

// Fills `box` with `fill` (when named), outlines it white and writes `text`
// in `textColor` (white when unnamed), aligned by `align`.
void paint_cell_box(QPainter* painter, const QRect& box, const char* fill, const char* textColor,
                    const QString& text, int align);
