// CRC-32/BZIP2, the CRC that bzip2 keeps over its blocks, computed by
// slicing: sixteen bytes per step through sixteen tables.
#include "patch/patch_format.h"

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;
constexpr int kSlices = 16;

struct CrcTables {
  // entry[0] is the classic byte table: the register after shifting byte i
  // through it from the top. entry[k][i] is the same byte followed by k zero
  // bytes, so that sixteen input bytes can be folded in independently.
  uint32_t entry[kSlices][256];
};

constexpr CrcTables build_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; bit++) r = (r & 0x80000000u) ? (r << 1) ^ kPolynomial : r << 1;
    t.entry[0][i] = r;
  }
  for (int k = 1; k < kSlices; k++) {
    for (int i = 0; i < 256; i++) {
      uint32_t prev = t.entry[k - 1][i];
      t.entry[k][i] = (prev << 8) ^ t.entry[0][prev >> 24];
    }
  }
  return t;
}

// Built by the compiler: no start-up work and no initialisation order to mind.
constexpr CrcTables kTables = build_tables();
static_assert(kTables.entry[0][1] == 0x04C11DB7u && kTables.entry[0][2] == 0x09823B6Eu,
              "byte table built from the polynomial");

}  // namespace

uint32_t compute_crc(const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const auto& t = kTables.entry;
  uint32_t crc = 0xFFFFFFFFu;
  while (length >= kSlices) {
    // The register lines up with the first four bytes (most significant
    // first); the other twelve enter the tables on their own.
    uint32_t x = crc ^ (static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                        static_cast<uint32_t>(p[2]) << 8 | p[3]);
    crc = t[15][x >> 24] ^ t[14][(x >> 16) & 0xFF] ^ t[13][(x >> 8) & 0xFF] ^ t[12][x & 0xFF] ^
          t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^
          t[5][p[10]] ^ t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
    p += kSlices;
    length -= kSlices;
  }
  while (length-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p++];
  return ~crc;
}
