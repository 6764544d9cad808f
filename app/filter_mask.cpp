#include "app/filter_mask.h"

#include "decode/cells/attr_flag.h"

uint32_t filter_mask(const FilterInput& in) {
  uint32_t mask = 0;
  if (in.sof) mask |= ATTR_SOF;
  if (in.ping) mask |= ATTR_PING;
  if (in.split) mask |= ATTR_SPLIT;
  if (in.nak) mask |= ATTR_NAK;
  if (in.stall) mask |= ATTR_STALL;
  if (in.err) mask |= ATTR_ERR;
  // -1 fills its byte with 0xFF; the address takes the whole top byte.
  mask |= (uint32_t)in.address << ATTR_ADDRESS_SHIFT;
  mask |= ((uint32_t)in.endpoint << ATTR_ENDPOINT_SHIFT) & 0x00FF0000u;
  return mask;
}

int filter_field_value(const QString& text) {
  if (text.isEmpty()) return -1;
  return text.toInt(nullptr, 10);  // 0 when not a number
}
