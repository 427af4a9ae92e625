// The package file format, shared by the reader and the writer.
//
//   header   "ZAV1", index_offset            (8 bytes)
//   entries  one bzip2 stream each, anywhere in the file
//   index    index_length, then records back to back:
//            offset, size, permissions, name bytes, NUL   (13 + n bytes)
//
// Every integer is a big-endian 32-bit value; the reader takes positions and
// sizes as signed, so a package stays below 2 GiB.
#pragma once

#include <cstdint>

constexpr char kPackageMagic[4] = {'Z', 'A', 'V', '1'};
constexpr int kPackageHeaderSize = 8;
constexpr int kIndexRecordFixedSize = 12;       // offset, size, permissions
constexpr int64_t kPackageMaxSize = INT32_MAX;  // positions are signed 32-bit
constexpr int kBucketCount = 256;

// The bucket of a name: h = h * 37 + c over its bytes, kept to 8 bits.
inline int entry_name_hash(const char* name) {
  unsigned h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
    h = h * 37 + *p;
  return static_cast<int>(h & 0xff);
}
