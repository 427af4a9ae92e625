// CRC-32/BZIP2, the CRC that bzip2 keeps over its blocks.
#include "patch/patch_format.h"

namespace {

struct CrcTable {
  uint32_t entry[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t r = i << 24;
      for (int bit = 0; bit < 8; bit++) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      entry[i] = r;
    }
  }
};

const CrcTable table;

}  // namespace

uint32_t compute_crc(const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; i++) crc = (crc << 8) ^ table.entry[(crc >> 24) ^ p[i]];
  return ~crc;
}
