// Control requests: reads the 8-byte setup packet, names its request and
// builds the request table of the parse view and the one-line request summary
// of the transfer view. Request names are looked up by code alone, whatever
// the request type, so a class request 0x09 reads "Set Configuration".
#include "decode/setup_request.h"

#include <cstdio>

#include "decode/descriptor_rows.h"

SetupPacket setup_from_bytes(const uint8_t b[8]) {
  SetupPacket s;
  s.bmRequestType = b[0];
  s.bRequest = b[1];
  s.wValue = (uint16_t)(b[2] | (b[3] << 8));
  s.wIndex = (uint16_t)(b[4] | (b[5] << 8));
  s.wLength = (uint16_t)(b[6] | (b[7] << 8));
  return s;
}

const char* setup_request_name(uint8_t bRequest) {
  switch (bRequest) {
    case 0: return "Get Status";
    case 1: return "Clear Feature";
    case 3: return "Set Feature";
    case 5: return "Set Address";
    case 6: return "Get Descriptor";
    case 7: return "Set Descriptor";
    case 8: return "Get Configuration";
    case 9: return "Set Configuration";
    case 10: return "Get Interface";
    case 11: return "Set Interface";
    case 12: return "Synch Frame";
    case 13: return "Set Encryption";
    case 14: return "Get Encryption";
    case 15: return "Set Handshake";
    case 16: return "Get Handshake";
    case 17: return "Set Connection";
    case 18: return "Set Security Data";
    case 19: return "Get Security Data";
    case 20: return "Set Wusb Data";
    case 21: return "Loopback Data Write";
    case 22: return "Loopback Data Read";
    case 23: return "Set Interface Ds";
    case 48: return "Set Sel";
    case 49: return "Set Isoch Delay";
    default: return nullptr;
  }
}

static const char* recipient_name(uint8_t recipient) {
  static const char* const names[] = {"Device", "Interface", "EndPoint", "Other", "Port", "Rpipe"};
  return recipient < 6 ? names[recipient] : nullptr;
}

// Name of the descriptor type in wValue's high byte of a GET_DESCRIPTOR.
static const char* descriptor_type_name(uint8_t type, uint8_t index) {
  switch (type) {
    case 1: return "Device Descriptor";
    case 2: return "Config Descriptor";
    case 3: return index != 0 ? "String Descriptor" : "Language ID Descriptor";
    case 4: return "Interface Descriptor";
    case 5: return "EndPoint Descriptor";
    default: return nullptr;
  }
}

void setup_decode_table(const SetupPacket* setup, kvListPair** chain) {
  if (!setup || !chain) return;
  static const char* const titles[] = {"Standard Requst", "Class Requst", "Vendor Requst",
                                       nullptr};
  static const char* const types[] = {"Standard", "Class", "Vendor", nullptr};
  uint8_t type = (setup->bmRequestType >> 5) & 3;
  uint8_t direction = setup->bmRequestType >> 7;
  char text[32];

  TableBuild t;
  table_begin(&t);
  field_row8(&t, field_key_word(W_BMREQUEST), setup->bmRequestType, nullptr);
  table_row(&t, sub_key("Recipient"), sub_u8(setup->bmRequestType & 0x1F),
            desc_text(recipient_name(setup->bmRequestType & 0x1F)));
  table_row(&t, sub_key("Type"), sub_u8(type), desc_text(types[type]));
  table_row(&t, sub_key("Direction"), sub_u8(direction),
            desc_text(direction ? "Device To Host" : "Host To Device"));
  field_row8(&t, field_key_word(W_BREQUEST), setup->bRequest, setup_request_name(setup->bRequest));

  const char* value_desc = nullptr;
  if (setup->bRequest == 5 || setup->bRequest == 9) {
    snprintf(text, sizeof text, setup->bRequest == 5 ? "Address:%d" : "Config:%d", setup->wValue);
    value_desc = text;
  }
  field_row16(&t, field_key_word(W_WVALUE), setup->wValue, value_desc);
  if (setup->bRequest == 6) {
    uint8_t index = setup->wValue & 0xFF;
    uint8_t desc_type = setup->wValue >> 8;
    table_row(&t, sub_key("index"), sub_u8(index), nullptr);
    table_row(&t, sub_key("type"), sub_u8(desc_type),
              desc_text(descriptor_type_name(desc_type, index)));
  }
  field_row16(&t, field_key_word(W_WINDEX), setup->wIndex, nullptr);
  field_row16(&t, field_key_word(W_WLENGTH), setup->wLength, nullptr);
  table_finish(&t, titles[type], chain);
}

void setup_request_line(const SetupPacket* setup, uint8_t address, uint8_t endpoint,
                        kvLinkedList** list) {
  if (!setup || !list) return;
  static const char* const kinds[] = {"Standard Req", "Class Req", "Vendor Req", " "};
  uint8_t type = (setup->bmRequestType >> 5) & 3;
  const char* name = setup_request_name(setup->bRequest);
  DataMsg* key = cell_text(kinds[type], COLOR_REQUEST, COLOR_DARK_TEXT);
  DataMsg* value = cell_text(name ? name : " ", 0, 0);
  if (kvlist_append(list, key, value) != 0) {
    cell_free(key);
    cell_free(value);
  }
  key = cell_word(W_ADDR, 0, 0);
  value = cell_u8(address, 0, 0);
  if (kvlist_append(list, key, value) != 0) {
    cell_free(key);
    cell_free(value);
  }
  key = cell_word(W_POINT, COLOR_POINT, 0);  // same colours as the token rows' "Point"
  value = cell_u8(endpoint, 0, 0);
  if (kvlist_append(list, key, value) != 0) {
    cell_free(key);
    cell_free(value);
  }
}
