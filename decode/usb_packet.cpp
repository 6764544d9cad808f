// Classification and validation of raw USB 2.0 packets.
#include "decode/usb_packet.h"

#include <cstdio>
#include <cstring>

#include "decode/cells/attr_flag.h"
#include "decode/cells/display_cell.h"
#include "decode/cells/usb_crc.h"

static UsbPidInfo g_pidInfo[256];
static bool g_pidInfoReady = false;

static void pid_info_build(void) {
  struct Row {
    uint8_t pid, cls, word, bg, text;
    uint32_t bit;
  };
  static const Row rows[] = {
      {PID_SOF, PID_CLASS_TOKEN, W_SOF, COLOR_SOF, 0, ATTR_SOF},
      {PID_SETUP, PID_CLASS_TOKEN, W_SETUP, COLOR_SETUP, 0, ATTR_SETUP},
      {PID_IN, PID_CLASS_TOKEN, W_IN, COLOR_IN, 0, ATTR_IN},
      {PID_OUT, PID_CLASS_TOKEN, W_OUT, COLOR_OUT, 0, ATTR_OUT},
      {PID_PING, PID_CLASS_TOKEN, W_PING, COLOR_OUT, 0, ATTR_PING},
      {PID_SPLIT, PID_CLASS_TOKEN, W_SPLIT, COLOR_OUT, 0, ATTR_SPLIT},
      {PID_DATA0, PID_CLASS_DATA, W_DATA0, COLOR_DATA0, COLOR_DARK_TEXT, 0},
      {PID_DATA1, PID_CLASS_DATA, W_DATA1, COLOR_DATA1, 0, 0},
      {PID_DATA2, PID_CLASS_DATA, W_DATA2, COLOR_DATA2, 0, 0},
      {PID_MDATA, PID_CLASS_DATA, W_MDATA, COLOR_MDATA, 0, 0},
      {PID_ACK, PID_CLASS_HANDSHAKE, W_ACK, COLOR_ACK, 0, ATTR_ACK},
      {PID_NAK, PID_CLASS_HANDSHAKE, W_NAK, COLOR_NAK, 0, ATTR_NAK},
      {PID_STALL, PID_CLASS_HANDSHAKE, W_STALL, COLOR_STALL, 0, ATTR_STALL},
      {PID_NYET, PID_CLASS_HANDSHAKE, W_NYET, COLOR_NYET, 0, ATTR_NYET},
      {PID_ERR, PID_CLASS_HANDSHAKE, W_ERR, COLOR_ERR, 0, ATTR_ERR},
  };
  for (const Row& r : rows) g_pidInfo[r.pid] = UsbPidInfo{r.cls, r.word, r.bg, r.text, r.bit};
  g_pidInfoReady = true;
}

const UsbPidInfo* usb_pid_info(uint8_t pid) {
  // Built on first use; the decoder runs on one thread, and a second builder
  // would only write the same values again.
  if (!g_pidInfoReady) pid_info_build();
  return &g_pidInfo[pid];
}

uint8_t usb_packet_validate(const uint8_t* bytes, int32_t length) {
  if (!bytes || length < 1) return 0;
  uint8_t pid = bytes[0];
  const UsbPidInfo* info = usb_pid_info(pid);
  switch (info->cls) {
    case PID_CLASS_HANDSHAKE:
      return length == 1 ? pid : 0;
    case PID_CLASS_TOKEN: {
      if (pid == PID_SPLIT) return length == 4 ? pid : 0;  // its CRC5 is not tested
      if (length != 3) return 0;
      uint16_t field = (uint16_t)(bytes[1] | (bytes[2] << 8));
      return crc5_usb(field) == (field >> 11) ? pid : 0;
    }
    case PID_CLASS_DATA: {
      if (length < 3) return 0;
      if (length == 3) return pid;  // no payload: the CRC bytes are not looked at
      uint16_t received = (uint16_t)(bytes[length - 2] | (bytes[length - 1] << 8));
      return crc16_usb(bytes + 1, (size_t)length - 3) == received ? pid : 0;
    }
    default:
      return 0;
  }
}

// Writes " <v with two decimals> <unit>   " for a finite, non-negative float,
// digit for digit what printf's "%.2f" gives (the exact binary value rounded
// to nearest, ties to even), without printf's cost on the decoding path.
static char* fixed2_text(float v, const char* unit, char* buf, size_t cap) {
  uint32_t bits;
  memcpy(&bits, &v, sizeof bits);
  int exp = (int)((bits >> 23) & 0xFF);
  uint64_t mant = bits & 0x7FFFFF;
  if (exp == 0xFF || (bits >> 31)) {  // not expected for time stamps: take the slow path
    snprintf(buf, cap, " %.2f %s   ", (double)v, unit);
    return buf;
  }
  if (exp) mant |= 0x800000;
  int e = (exp ? exp : 1) - 150;  // v = mant * 2^e
  // q = v * 100 rounded to nearest, ties to even.
  uint64_t m100 = mant * 100;
  uint64_t q;
  if (e >= 0) {
    if (e > 30) {  // beyond what a u64 holds comfortably: take the slow path
      snprintf(buf, cap, " %.2f %s   ", (double)v, unit);
      return buf;
    }
    q = m100 << e;
  } else if (-e >= 64) {
    q = 0;  // below 0.005: rounds to zero
  } else {
    int s = -e;
    q = m100 >> s;
    uint64_t rem = m100 & ((1ULL << s) - 1);
    uint64_t half = 1ULL << (s - 1);
    if (rem > half || (rem == half && (q & 1))) q++;
  }
  // Packets follow each other by fractions of a microsecond, so the text of
  // the last time often serves the next one too.
  static thread_local struct {
    uint64_t q;
    const char* unit;
    size_t len;
    char text[48];
  } last = {~0ull, nullptr, 0, {}};
  char* tmp = last.text;
  size_t pos = last.len;
  if (q != last.q || unit != last.unit) {
    char digits[32];
    int n = 0;
    uint64_t whole = q / 100;
    do {
      digits[n++] = (char)('0' + whole % 10);
      whole /= 10;
    } while (whole);
    pos = 0;
    tmp[pos++] = ' ';
    while (n) tmp[pos++] = digits[--n];
    tmp[pos++] = '.';
    tmp[pos++] = (char)('0' + (q / 10) % 10);
    tmp[pos++] = (char)('0' + q % 10);
    tmp[pos++] = ' ';
    tmp[pos++] = unit[0];
    tmp[pos++] = unit[1];
    tmp[pos++] = ' ';
    tmp[pos++] = ' ';
    tmp[pos++] = ' ';
    last.q = q;
    last.unit = unit;
    last.len = pos;
  }
  if (cap == 0) return buf;
  size_t n_out = pos < cap - 1 ? pos : cap - 1;
  memcpy(buf, tmp, n_out);
  buf[n_out] = 0;
  return buf;
}

char* usb_time_text(uint64_t ns, char* buf, size_t cap) {
  float t = (float)ns;
  if (t < 1000.0f) return fixed2_text(t, "ns", buf, cap);
  if (t < 1000000.0f) return fixed2_text(t / 1000.0f, "us", buf, cap);
  return fixed2_text(t / 1000000.0f, "ms", buf, cap);
}

char* usb_hex_text(const uint8_t* bytes, size_t n, char* buf, size_t cap) {
  static const char digits[] = "0123456789ABCDEF";
  if (cap == 0) return buf;
  size_t pos = 0;
  for (size_t i = 0; i < n; i++) {
    size_t need = i ? 3 : 2;
    if (pos + need + 1 > cap) break;
    if (i) buf[pos++] = ' ';
    buf[pos++] = digits[bytes[i] >> 4];
    buf[pos++] = digits[bytes[i] & 0xF];
  }
  buf[pos] = 0;
  return buf;
}
