// The simulated device: the descriptors it answers GET_DESCRIPTOR with, its
// endpoints, and the full-speed device that sits behind a high-speed hub when
// the bus runs at high speed. Everything here is fixed per speed so that a
// capture of the simulated bus is the same from run to run.
#pragma once

#include <cstdint>

// Bus speeds; the values are the system's speed codes.
enum UsbSpeed { USB_SPEED_LOW = 1, USB_SPEED_FULL = 2, USB_SPEED_HIGH = 3 };

// Standard descriptor types the device answers.
enum UsbDescriptorType : uint8_t {
  USB_DESC_DEVICE = 1,
  USB_DESC_CONFIGURATION = 2,
  USB_DESC_STRING = 3,
  USB_DESC_INTERFACE = 4,
  USB_DESC_ENDPOINT = 5,
  USB_DESC_DEVICE_QUALIFIER = 6,
};

enum { DEVICE_MODEL_STRINGS = 4, DEVICE_MODEL_MAX_DESC = 128 };

// One endpoint of the simulated device as its descriptor announces it.
struct ModelEndpoint {
  uint8_t address;      // bEndpointAddress (bit 7 set for IN)
  uint8_t type;         // UsbTransferType
  uint16_t max_packet;  // wMaxPacketSize
  uint8_t interval;     // bInterval
};

struct DeviceModel {
  UsbSpeed speed;                                            // speed the device runs at
  uint8_t max_packet0;                                       // bMaxPacketSize0
  uint8_t device_desc[18];                                   // device descriptor
  uint8_t qualifier_desc[10];                                // device qualifier (high speed only)
  uint8_t has_qualifier;                                     // 0: the device STALLs that request
  uint8_t config_desc[DEVICE_MODEL_MAX_DESC];                // configuration with everything below it
  uint16_t config_len;                                       // its wTotalLength
  uint8_t strings[DEVICE_MODEL_STRINGS][DEVICE_MODEL_MAX_DESC];  // string descriptors 0..3
  uint8_t string_len[DEVICE_MODEL_STRINGS];                  // their bLength
  ModelEndpoint endpoints[3];                                // endpoints in descriptor order
  int endpoint_count;                                        // 3 (bulk IN, bulk OUT, interrupt IN), 1 at low speed
};

// Fills `model` with the device for `speed`. Cannot fail.
void device_model_init(DeviceModel* model, UsbSpeed speed);

// The whole descriptor the device holds for (type, index), or null when the
// device has none (it then answers the request with STALL). *len gets its size.
const uint8_t* device_model_descriptor(const DeviceModel* model, uint8_t type, uint8_t index,
                                       uint16_t* len);
