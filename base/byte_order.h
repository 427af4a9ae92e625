// Big-endian integers, the byte order of every format of the system
// (the package file and the patch file); little-endian ones for what other
// formats lay out that way (ELF files and x86 instructions, which the patch
// transform reads and rewrites).
#pragma once

#include <cstdint>
#include <cstring>

inline uint32_t load_be32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t load_be64(const unsigned char* p) {
  return static_cast<uint64_t>(load_be32(p)) << 32 | load_be32(p + 4);
}

inline void store_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

// Little-endian: ELF and x86 fields, and the order in which the patch
// generator packs its suffix array (a layout of its own in memory).
inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

inline uint16_t load_le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void store_le32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
