#include "backend/device_model.h"

#include <cstring>

#include "backend/usb_packet_builder.h"

// A made-up vendor and product: the stand-in must not claim a real device.
static const uint16_t kVendorId = 0x1209;
static const uint16_t kProductId = 0x5A1E;
static const uint16_t kDeviceRelease = 0x0103;

static const char* const kManufacturer = "Kestrel Bench Devices";
static const char* const kProduct = "Stand-in Bulk Device";
// Non-ASCII on purpose: string descriptors are UTF-16 and decoders must cope.
static const char* const kSerial = "Série 0042";

static void put16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)(v & 0xFF);
  p[1] = (uint8_t)(v >> 8);
}

// Encodes UTF-8 text as a string descriptor; the texts above hold only
// characters of the Basic Multilingual Plane.
static uint8_t make_string(uint8_t* out, const char* utf8) {
  int n = 2;
  const unsigned char* s = (const unsigned char*)utf8;
  while (*s && n + 2 <= DEVICE_MODEL_MAX_DESC) {
    uint32_t cp;
    if (s[0] < 0x80) {
      cp = s[0];
      s += 1;
    } else if ((s[0] & 0xE0) == 0xC0 && s[1]) {
      cp = ((uint32_t)(s[0] & 0x1F) << 6) | (s[1] & 0x3F);
      s += 2;
    } else if (s[1] && s[2]) {
      cp = ((uint32_t)(s[0] & 0x0F) << 12) | ((uint32_t)(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
      s += 3;
    } else {
      break;
    }
    put16(out + n, (uint16_t)cp);
    n += 2;
  }
  out[0] = (uint8_t)n;
  out[1] = USB_DESC_STRING;
  return (uint8_t)n;
}

void device_model_init(DeviceModel* m, UsbSpeed speed) {
  memset(m, 0, sizeof *m);
  m->speed = speed;
  m->max_packet0 = speed == USB_SPEED_LOW ? 8 : 64;

  uint8_t* d = m->device_desc;
  d[0] = 18;
  d[1] = USB_DESC_DEVICE;
  put16(d + 2, speed == USB_SPEED_LOW ? 0x0110 : 0x0200);
  d[4] = 0;  // class per interface
  d[5] = 0;
  d[6] = 0;
  d[7] = m->max_packet0;
  put16(d + 8, kVendorId);
  put16(d + 10, kProductId);
  put16(d + 12, kDeviceRelease);
  d[14] = 1;  // iManufacturer
  d[15] = 2;  // iProduct
  d[16] = 3;  // iSerialNumber
  d[17] = 1;  // bNumConfigurations

  if (speed == USB_SPEED_HIGH) {
    // What the device would look like at full speed.
    uint8_t* q = m->qualifier_desc;
    q[0] = 10;
    q[1] = USB_DESC_DEVICE_QUALIFIER;
    put16(q + 2, 0x0200);
    q[7] = 64;
    q[8] = 1;
    m->has_qualifier = 1;
  }

  if (speed == USB_SPEED_LOW) {
    // Low speed allows neither bulk endpoints nor interrupt packets above 8 bytes.
    m->endpoints[0] = {0x81, USB_XFER_INTERRUPT, 8, 10};
    m->endpoint_count = 1;
  } else {
    uint16_t bulk = speed == USB_SPEED_HIGH ? 512 : 64;
    m->endpoints[0] = {0x81, USB_XFER_BULK, bulk, 0};
    m->endpoints[1] = {0x02, USB_XFER_BULK, bulk, 0};
    // bInterval 4 at high speed is 2^(4-1) microframes = 1 ms; at full speed 8 frames.
    m->endpoints[2] = {0x83, USB_XFER_INTERRUPT, 16, (uint8_t)(speed == USB_SPEED_HIGH ? 4 : 8)};
    m->endpoint_count = 3;
  }

  uint8_t* c = m->config_desc;
  int n = 0;
  c[n + 0] = 9;
  c[n + 1] = USB_DESC_CONFIGURATION;
  c[n + 4] = 1;     // bNumInterfaces
  c[n + 5] = 1;     // bConfigurationValue
  c[n + 6] = 0;     // iConfiguration
  c[n + 7] = 0xA0;  // bus powered, remote wake-up
  c[n + 8] = 50;    // 100 mA
  n += 9;
  c[n + 0] = 9;
  c[n + 1] = USB_DESC_INTERFACE;
  c[n + 2] = 0;
  c[n + 3] = 0;
  c[n + 4] = (uint8_t)m->endpoint_count;
  c[n + 5] = 0xFF;  // vendor specific
  c[n + 6] = 0;
  c[n + 7] = 0;
  c[n + 8] = 0;
  n += 9;
  for (int i = 0; i < m->endpoint_count; i++) {
    const ModelEndpoint* e = &m->endpoints[i];
    c[n + 0] = 7;
    c[n + 1] = USB_DESC_ENDPOINT;
    c[n + 2] = e->address;
    c[n + 3] = e->type;
    put16(c + n + 4, e->max_packet);
    c[n + 6] = e->interval;
    n += 7;
  }
  put16(c + 2, (uint16_t)n);
  m->config_len = (uint16_t)n;

  uint8_t* lang = m->strings[0];
  lang[0] = 4;
  lang[1] = USB_DESC_STRING;
  put16(lang + 2, 0x0409);  // English (United States)
  m->string_len[0] = 4;
  m->string_len[1] = make_string(m->strings[1], kManufacturer);
  m->string_len[2] = make_string(m->strings[2], kProduct);
  m->string_len[3] = make_string(m->strings[3], kSerial);
}

const uint8_t* device_model_descriptor(const DeviceModel* m, uint8_t type, uint8_t index,
                                       uint16_t* len) {
  switch (type) {
    case USB_DESC_DEVICE:
      *len = 18;
      return m->device_desc;
    case USB_DESC_CONFIGURATION:
      if (index != 0) return nullptr;
      *len = m->config_len;
      return m->config_desc;
    case USB_DESC_STRING:
      if (index >= DEVICE_MODEL_STRINGS) return nullptr;
      *len = m->string_len[index];
      return m->strings[index];
    case USB_DESC_DEVICE_QUALIFIER:
      if (!m->has_qualifier) return nullptr;
      *len = 10;
      return m->qualifier_desc;
    default:
      return nullptr;
  }
}
