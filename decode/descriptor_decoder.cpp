// The descriptor walk: splits the data stage of a completed GET_DESCRIPTOR or
// SET_DESCRIPTOR into descriptors by their bLength, builds one table per known
// descriptor type and learns the endpoint descriptors.
//
// Bounds: a descriptor is decoded only when it lies entirely inside
// buf[0..filled), and its bytes are copied into a zeroed slot of the type's
// fixed size before decoding, so no builder ever reads past either the buffer
// or the descriptor's own bLength.
#include "decode/descriptor_decoder.h"

#include <cstring>

#include "decode/descriptor_tables.h"

enum { kMaxSlot = kStringSlot };

// Copies the descriptor at `p` (bLength bytes, all readable) into a zeroed
// slot of `size` bytes; bytes beyond the slot are ignored.
static void slot_fill(uint8_t* slot, uint32_t size, const uint8_t* p, uint8_t bLength) {
  memset(slot, 0, size);
  memcpy(slot, p, bLength < size ? bLength : size);
}

// Learns an endpoint descriptor's slot for the device at `address`.
static void learn_endpoint(EndpointTable* endpoints, const uint8_t* slot, uint8_t address) {
  EndpointEntry e;
  e.transferType = (uint8_t)(slot[3] & 3);  // a TransferType
  e.address = address;
  e.endpoint = slot[2] & 0x0F;
  e.direction = slot[2] >> 4;
  e.maxPacketSize = (uint32_t)(slot[4] | (slot[5] << 8)) & 0x7FF;
  endpoint_table_learn(endpoints, &e);
}

int descriptors_walk(const uint8_t* buf, uint32_t filled, const SetupPacket* setup,
                     uint8_t token_address, EndpointTable* endpoints, kvListPair** chain) {
  if (!buf || !setup || !chain) return 0;
  // Only a standard GET_DESCRIPTOR or SET_DESCRIPTOR answered in full is
  // walked; anything else is shown as data by the caller.
  if (((setup->bmRequestType >> 5) & 3) != 0) return 0;
  if (setup->bRequest != 6 && setup->bRequest != 7) return 0;
  // A standard request may still ask for a class or vendor descriptor (a HID
  // report descriptor is fetched with GET_DESCRIPTOR to the interface, type
  // 0x22): its bytes are not descriptors and would read as garbage tables.
  if (((setup->wValue >> 8) & 0x60) != 0) return 0;
  if (filled != setup->wLength) return 0;

  uint8_t index = setup->wValue & 0xFF;
  // An Other Speed Configuration describes the endpoints at the speed the
  // device is not running at: shown, but not learned.
  bool learn = endpoints && (setup->wValue >> 8) != 7;
  uint8_t slot[kMaxSlot];
  uint32_t off = 0;
  int tables = 0;
  while (off + 2 <= filled) {
    uint8_t bLength = buf[off];
    // A descriptor shorter than its own 2-byte header cannot be decoded:
    // 0 ends the walk, and so does 1 (its type byte would be the next one's).
    if (bLength < 2 || bLength > filled - off) break;
    uint8_t type = buf[off + 1];
    const uint8_t* p = buf + off;
    switch (type) {
      case 1:
        slot_fill(slot, kDeviceSlot, p, bLength);
        descriptor_device_table(slot, chain);
        break;
      case 2:
        slot_fill(slot, kConfigSlot, p, bLength);
        descriptor_config_table(slot, chain);
        break;
      case 3:
        slot_fill(slot, kStringSlot, p, bLength);
        // String index 0 holds the supported language IDs, not text.
        if (index == 0)
          descriptor_langid_table(slot, chain);
        else
          descriptor_string_table(slot, chain);
        break;
      case 4:
        slot_fill(slot, kInterfaceSlot, p, bLength);
        descriptor_interface_table(slot, chain);
        break;
      case 5:
        slot_fill(slot, kEndpointSlot, p, bLength);
        descriptor_endpoint_table(slot, chain);
        if (learn) learn_endpoint(endpoints, slot, token_address);
        break;
      default:
        off += bLength;  // class and vendor descriptors are skipped
        continue;
    }
    tables++;
    off += bLength;
  }
  // Nothing decoded (the first descriptor does not fit, or only skipped
  // types such as a device qualifier): the caller shows the data instead.
  return tables > 0 ? 1 : 0;
}
