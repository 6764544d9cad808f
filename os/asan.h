// ORVANE_ASAN is defined (as 1) when this file is built with
// AddressSanitizer, by GCC's or Clang's own way of saying so.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_ASAN 1
#endif
#endif
