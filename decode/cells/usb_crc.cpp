// The two USB CRCs. CRC-16 runs on carry-less multiplication where the CPU
// has it (long blocks: 512-byte payloads are checked several times per packet)
// and on tables everywhere else; both give the same value for every input.
// The tables are built at compile time from the bit-serial definitions.
#include "decode/cells/usb_crc.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define USB_CRC_CLMUL 1
#endif

namespace {

// CRC-16/USB processes bytes least significant bit first, so the register
// shifts right with the reflected polynomial 0xA001.
constexpr std::array<uint16_t, 256> make_crc16_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    uint16_t r = (uint16_t)b;
    for (int i = 0; i < 8; ++i) r = (r & 1) ? (uint16_t)((r >> 1) ^ 0xA001) : (uint16_t)(r >> 1);
    t[b] = r;
  }
  return t;
}

// Tables for sixteen bytes per step: t[k][b] is the effect of byte b
// followed by k zero bytes.
struct Crc16Slices {
  uint16_t t[16][256];
  constexpr Crc16Slices() : t() {
    std::array<uint16_t, 256> base = make_crc16_table();
    for (int b = 0; b < 256; ++b) t[0][b] = base[b];
    for (int k = 1; k < 16; ++k)
      for (int b = 0; b < 256; ++b)
        t[k][b] = (uint16_t)((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
  }
};

constexpr Crc16Slices kSlices;

// One step over 2 <= n <= 16 bytes: the register folds into the first two
// bytes, and each byte is looked up in the table for its distance from the
// end of the step. The lookups are independent of each other, so a short
// cell costs one step rather than a chain of byte steps.
inline uint16_t crc16_step(uint16_t r, const uint8_t* d, size_t n) {
  const uint16_t(*t)[256] = kSlices.t;
  uint16_t x = (uint16_t)(t[n - 1][d[0] ^ (r & 0xFF)] ^ t[n - 2][d[1] ^ (r >> 8)]);
  for (size_t j = 2; j < n; ++j) x ^= t[n - 1 - j][d[j]];
  return x;
}

// The register `r` (not inverted) carried over `len` bytes by tables.
inline uint16_t crc16_tables(uint16_t r, const uint8_t* data, size_t len) {
  const uint16_t(*t)[256] = kSlices.t;
  if (len == 1) return (uint16_t)((r >> 8) ^ t[0][(r ^ data[0]) & 0xFF]);
  size_t head = len % 16;
  size_t i = 0;
  if (head >= 2) {
    r = crc16_step(r, data, head);
    i = head;
  }
  size_t end = head == 1 ? len - 1 : len;
  for (; i < end; i += 16) {
    const uint8_t* d = data + i;
    r = (uint16_t)(t[15][d[0] ^ (r & 0xFF)] ^ t[14][d[1] ^ (r >> 8)] ^ t[13][d[2]] ^
                   t[12][d[3]] ^ t[11][d[4]] ^ t[10][d[5]] ^ t[9][d[6]] ^ t[8][d[7]] ^
                   t[7][d[8]] ^ t[6][d[9]] ^ t[5][d[10]] ^ t[4][d[11]] ^ t[3][d[12]] ^
                   t[2][d[13]] ^ t[1][d[14]] ^ t[0][d[15]]);
  }
  if (head == 1) r = (uint16_t)((r >> 8) ^ t[0][(r ^ data[len - 1]) & 0xFF]);
  return r;
}

#ifdef USB_CRC_CLMUL

// Folding works on the message as a polynomial over GF(2). In the bit order
// of this CRC a 16-byte block loaded little-endian holds the coefficient of
// x^(127 - i) in bit i, so the low 64 bits are the high-degree half. A
// carry-less product of two such 64-bit halves comes out one degree short of
// the 128-bit frame, so each constant is x^(e - 1) mod P for a shift by x^e,
// placed with the coefficient of x^d at bit 63 - d.
constexpr uint64_t folding_constant(unsigned e) {
  // x^(e - 1) mod P, P = x^16 + x^15 + x^2 + 1, in plain bit order.
  uint32_t r = 1;
  for (unsigned i = 0; i + 1 < e; ++i) {
    r <<= 1;
    if (r & 0x10000) r ^= 0x18005;
  }
  uint64_t c = 0;
  for (int d = 0; d < 16; ++d)
    if (r & (1u << d)) c |= 1ull << (63 - d);
  return c;
}

// Shifts by one block (128 bits) and by four blocks (512 bits), each for the
// high-degree half (64 bits further) and the low-degree half.
constexpr uint64_t kFold128Hi = folding_constant(128 + 64);
constexpr uint64_t kFold128Lo = folding_constant(128);
constexpr uint64_t kFold512Hi = folding_constant(512 + 64);
constexpr uint64_t kFold512Lo = folding_constant(512);

// acc * x^shift + next, reduced to 128 bits with the same remainder mod P.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
  __m128i hi = _mm_clmulepi64_si128(acc, k, 0x00);  // high-degree half by its constant
  __m128i lo = _mm_clmulepi64_si128(acc, k, 0x11);  // low-degree half by its constant
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// The CRC (not inverted) of len >= 64 bytes from the initial register 0xFFFF.
__attribute__((target("pclmul,sse2"))) uint16_t crc16_clmul(const uint8_t* data, size_t len) {
  const __m128i k512 = _mm_set_epi64x((long long)kFold512Lo, (long long)kFold512Hi);
  const __m128i k128 = _mm_set_epi64x((long long)kFold128Lo, (long long)kFold128Hi);
  // The initial register acts as the first two message bytes inverted.
  __m128i a0 = _mm_xor_si128(_mm_loadu_si128((const __m128i*)data), _mm_cvtsi32_si128(0xFFFF));
  __m128i a1 = _mm_loadu_si128((const __m128i*)(data + 16));
  __m128i a2 = _mm_loadu_si128((const __m128i*)(data + 32));
  __m128i a3 = _mm_loadu_si128((const __m128i*)(data + 48));
  size_t i = 64;
  // Four independent accumulators, each moved four blocks ahead per step.
  for (; i + 64 <= len; i += 64) {
    a0 = fold(a0, k512, _mm_loadu_si128((const __m128i*)(data + i)));
    a1 = fold(a1, k512, _mm_loadu_si128((const __m128i*)(data + i + 16)));
    a2 = fold(a2, k512, _mm_loadu_si128((const __m128i*)(data + i + 32)));
    a3 = fold(a3, k512, _mm_loadu_si128((const __m128i*)(data + i + 48)));
  }
  __m128i acc = fold(a0, k128, a1);
  acc = fold(acc, k128, a2);
  acc = fold(acc, k128, a3);
  for (; i + 16 <= len; i += 16) acc = fold(acc, k128, _mm_loadu_si128((const __m128i*)(data + i)));
  // The accumulator has the remainder of everything so far: as 16 message
  // bytes it finishes, with the tail, on the tables from a zero register.
  uint8_t block[16];
  _mm_storeu_si128((__m128i*)block, acc);
  uint16_t r = crc16_tables(0, block, 16);
  return crc16_tables(r, data + i, len - i);
}

bool detect_clmul() {
  __builtin_cpu_init();  // may run before the runtime's own CPU probe
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
}

// Read before this is set (a static constructor of another file) it is
// false, and the tables give the same answer.
const bool kHaveClmul = detect_clmul();

#endif

// Token CRC of every 11-bit field: register starts at 0x1F, polynomial 0x05,
// data least significant bit first; the inverted register is stored with its
// bits reversed so that it reads as bits 11..15 of the token field.
constexpr uint8_t crc5_serial(uint16_t field) {
  uint8_t r = 0x1F;
  for (int i = 0; i < 11; ++i) {
    uint8_t in = (uint8_t)((field >> i) & 1);
    uint8_t out = (uint8_t)((r >> 4) & 1);
    r = (uint8_t)((r << 1) & 0x1F);
    if (out != in) r ^= 0x05;
  }
  r = (uint8_t)(~r & 0x1F);
  uint8_t rev = 0;
  for (int i = 0; i < 5; ++i) rev = (uint8_t)(rev | (((r >> i) & 1) << (4 - i)));
  return rev;
}

constexpr std::array<uint8_t, 2048> make_crc5_table() {
  std::array<uint8_t, 2048> t{};
  for (unsigned f = 0; f < 2048; ++f) t[f] = crc5_serial((uint16_t)f);
  return t;
}

constexpr std::array<uint8_t, 2048> kCrc5 = make_crc5_table();

static_assert(kCrc5[0] == 2, "SETUP to address 0, endpoint 0 carries CRC5 2");

}  // namespace

uint16_t crc16_usb(const uint8_t* data, size_t len) {
#ifdef USB_CRC_CLMUL
  if (len >= 64 && kHaveClmul) return (uint16_t)~crc16_clmul(data, len);
#endif
  return (uint16_t)~crc16_tables(0xFFFF, data, len);
}

uint16_t crc16_usb_tables(const uint8_t* data, size_t len) {
  return (uint16_t)~crc16_tables(0xFFFF, data, len);
}

int crc16_usb_accelerated(void) {
#ifdef USB_CRC_CLMUL
  return kHaveClmul ? 1 : 0;
#else
  return 0;
#endif
}

uint8_t crc5_usb(uint16_t field) { return kCrc5[field & 0x7FF]; }
