// The six descriptor tables. Each builder reads a fixed-size slot (the
// descriptor copied in, bytes beyond its bLength zero) and appends one table
// to the end of *chain.
#pragma once

#include <cstdint>

#include "decode/cells/kv_list.h"

// Slot sizes: a descriptor is copied into its slot before decoding.
enum {
  kDeviceSlot = 18,
  kConfigSlot = 9,
  kStringSlot = 126,  // 2-byte header and up to 62 UTF-16 units
  kInterfaceSlot = 9,
  kEndpointSlot = 9,  // the two audio extension bytes included
};

// Name of a device or interface class code, or null.
const char* usb_class_name(uint8_t code);
// Name of a bcdUSB release number, or null.
const char* usb_release_name(uint16_t bcd);

void descriptor_device_table(const uint8_t slot[kDeviceSlot], kvListPair** chain);
void descriptor_config_table(const uint8_t slot[kConfigSlot], kvListPair** chain);
void descriptor_langid_table(const uint8_t slot[kStringSlot], kvListPair** chain);
void descriptor_string_table(const uint8_t slot[kStringSlot], kvListPair** chain);
void descriptor_interface_table(const uint8_t slot[kInterfaceSlot], kvListPair** chain);
void descriptor_endpoint_table(const uint8_t slot[kEndpointSlot], kvListPair** chain);
