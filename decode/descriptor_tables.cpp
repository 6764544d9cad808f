// The device, configuration, language ID, string, interface and endpoint
// tables. Builders read only their slot, so a short descriptor shows zeros for
// the bytes it lacks instead of bytes of the next descriptor.
#include "decode/descriptor_tables.h"

#include <cstdio>

#include "decode/descriptor_rows.h"
#include "decode/utf16_to_utf8.h"

static uint16_t le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

const char* usb_class_name(uint8_t code) {
  switch (code) {
    case 0x01: return "Audio";
    case 0x02: return "CDC Control";
    case 0x03: return "HID";
    case 0x05: return "Physical Interface Device";
    case 0x06: return "Image";
    case 0x07: return "Printer";
    case 0x08: return "Mass Storage";
    case 0x09: return "Hub";
    case 0x0A: return "CDC-Data";
    case 0x0B: return "Smart Card";
    case 0x0D: return "Content Security";
    case 0x0E: return "Video";
    case 0x0F: return "Personal Healthcare";
    case 0xE0: return "Wireless Controller";
    case 0xEF: return "Miscellaneous";
    case 0xFF: return "Vendor Specific";
    default: return nullptr;
  }
}

const char* usb_release_name(uint16_t bcd) {
  switch (bcd) {
    case 0x0100: return "USB 1.0";
    case 0x0110: return "USB 1.1";
    case 0x0200: return "USB 2.0";
    case 0x0210: return "USB 2.1";
    case 0x0300: return "USB 3.0";
    case 0x0310: return "USB 3.1";
    case 0x0320: return "USB 3.2";
    default: return nullptr;
  }
}

// The bLength row every table opens with: "0x%02x" and "length:%d".
static void length_row(TableBuild* t, uint8_t bLength) {
  char text[16];
  snprintf(text, sizeof text, "length:%d", bLength);
  field_row8(t, field_key_word(W_BLENGTH), bLength, text);
}

static void type_row(TableBuild* t, uint8_t type, const char* desc) {
  field_row8(t, field_key_word(W_BDESCRIPTORTYPE), type, desc);
}

void descriptor_device_table(const uint8_t s[kDeviceSlot], kvListPair** chain) {
  TableBuild t;
  table_begin(&t);
  length_row(&t, s[0]);
  type_row(&t, s[1], "Device Descriptor");
  field_row16(&t, field_key_word(W_BCDUSB), le16(s + 2), usb_release_name(le16(s + 2)));
  field_row8(&t, field_key_word(W_BDEVICECLASS), s[4], usb_class_name(s[4]));
  field_row8(&t, field_key("bDeviceSubClass"), s[5], nullptr);
  field_row8(&t, field_key("bDeviceProtocol"), s[6], nullptr);
  field_row8(&t, field_key("bMaxPacketSize0"), s[7], nullptr);
  field_row16(&t, field_key("idVendor"), le16(s + 8), nullptr);
  field_row16(&t, field_key("idProduct"), le16(s + 10), nullptr);
  field_row16(&t, field_key("bcdDevice"), le16(s + 12), nullptr);
  field_row8(&t, field_key("iManufacturer"), s[14], nullptr);
  field_row8(&t, field_key("iProduct"), s[15], nullptr);
  field_row8(&t, field_key("iSerialNumber"), s[16], nullptr);
  field_row8(&t, field_key("bNumConfigurations"), s[17], nullptr);
  table_finish(&t, "Device Descriptor", chain);
}

void descriptor_config_table(const uint8_t s[kConfigSlot], kvListPair** chain) {
  TableBuild t;
  table_begin(&t);
  length_row(&t, s[0]);
  type_row(&t, s[1], nullptr);
  field_row16(&t, field_key("wTotalLength"), le16(s + 2), nullptr);
  field_row8(&t, field_key("bNumInterfaces"), s[4], nullptr);
  field_row8(&t, field_key("bConfigurationValue"), s[5], nullptr);
  field_row8(&t, field_key("iConfiguration"), s[6], nullptr);
  char power[48];
  snprintf(power, sizeof power, "%s%s", (s[7] & 0x40) ? "Self Powered" : "Bus Powered",
           (s[7] & 0x20) ? ";remote wake-up" : "");
  field_row8(&t, field_key("bmAttributes"), s[7], power);
  field_row8(&t, field_key("bMaxPower"), s[8], nullptr);
  table_finish(&t, "Config Descriptor", chain);
}

void descriptor_langid_table(const uint8_t s[kStringSlot], kvListPair** chain) {
  TableBuild t;
  table_begin(&t);
  length_row(&t, s[0]);
  type_row(&t, s[1], nullptr);
  field_row16(&t, field_key("wLANGID"), le16(s + 2), nullptr);  // the first language only
  table_finish(&t, "Language ID Descriptor", chain);
}

void descriptor_string_table(const uint8_t s[kStringSlot], kvListPair** chain) {
  enum { kUnits = (kStringSlot - 2) / 2 };
  char text[3 * kUnits];
  size_t n = utf16_units_to_utf8(s + 2, kUnits, text);
  TableBuild t;
  table_begin(&t);
  length_row(&t, s[0]);
  type_row(&t, s[1], nullptr);
  table_row(&t, cell_text("wData", 0, 0), cell_create((uint32_t)n, text, D_STRING, 0, 0), nullptr);
  table_finish(&t, "String Descriptor", chain);
}

void descriptor_interface_table(const uint8_t s[kInterfaceSlot], kvListPair** chain) {
  TableBuild t;
  table_begin(&t);
  length_row(&t, s[0]);
  type_row(&t, s[1], "Interface Descriptor");
  field_row8(&t, field_key("bInterfaceNumber"), s[2], nullptr);
  field_row8(&t, field_key("bAlternateSetting"), s[3], nullptr);
  field_row8(&t, field_key("bNumEndpoints"), s[4], nullptr);
  field_row8(&t, field_key("bInterfaceClass"), s[5], usb_class_name(s[5]));
  field_row8(&t, field_key("bInterfaceSubClass"), s[6], nullptr);
  field_row8(&t, field_key("bInterfaceProtocol"), s[7], nullptr);
  field_row8(&t, field_key("iInterface"), s[8], nullptr);
  table_finish(&t, "Interface Descriptor", chain);
}

void descriptor_endpoint_table(const uint8_t s[kEndpointSlot], kvListPair** chain) {
  static const char* const trans_types[] = {nullptr, "isoc", "bulk", "int"};
  uint8_t address = s[2];
  uint8_t attributes = s[3];
  uint16_t size = le16(s + 4);
  TableBuild t;
  table_begin(&t);
  length_row(&t, s[0]);
  type_row(&t, s[1], "Endpoint Descriptor");
  field_row8(&t, field_key("bEndpointAddress"), address, nullptr);
  table_row(&t, sub_key("numb"), sub_dec(address & 0x0F), nullptr);
  table_row(&t, sub_key("direction"), sub_dec(address >> 4),
            desc_text(address > 15 ? "IN" : "OUT"));
  field_row8(&t, field_key("bmAttributes"), attributes, nullptr);
  table_row(&t, sub_key("transType"), sub_dec(attributes & 3),
            desc_text(trans_types[attributes & 3]));
  table_row(&t, sub_key("syncTyep"), sub_dec((attributes >> 2) & 3), nullptr);
  table_row(&t, sub_key("useTyep"), sub_dec((attributes >> 4) & 3), nullptr);
  table_row(&t, sub_key("reserve"), sub_dec(attributes >> 6), nullptr);
  field_row16(&t, field_key("wMaxPacketSize"), size, nullptr);
  table_row(&t, sub_key("size"), sub_dec(size & 0x7FF), nullptr);
  table_row(&t, sub_key("trasCount"), sub_dec((size >> 11) & 3), nullptr);
  table_row(&t, sub_key("reserve"), sub_dec(size >> 13), nullptr);
  field_row8(&t, field_key("bInterval"), s[6], nullptr);
  field_row8(&t, field_key("bRefresh"), s[7], nullptr);
  field_row8(&t, field_key("bSynchAddress"), s[8], nullptr);
  table_finish(&t, "Endpoint Descriptor", chain);
}
