// The binary patch format, shared by the updater's patch actions and by the
// tools that write and apply patches.
//
//   header   "ZQDIFF10", source_size, source_crc, result_size,
//            control_size, diff_size, extra_size          (32 bytes)
//   control  ControlTriple records, 12 bytes each
//   diff     bytes added (mod 256) to source bytes
//   extra    bytes copied to the output unchanged
//
// Every integer is big-endian; the file ends exactly after the extra block.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kPatchMagic[8] = {'Z', 'Q', 'D', 'I', 'F', 'F', '1', '0'};
constexpr int kPatchHeaderSize = 32;
constexpr int kControlTripleSize = 12;

struct PatchHeader {
  char magic[8];
  uint32_t source_size;   // exact size of the file to be patched
  uint32_t source_crc;    // compute_crc of that file
  uint32_t result_size;   // carried, never checked by the applier
  uint32_t control_size;  // bytes of the control block
  uint32_t diff_size;     // bytes of the diff block
  uint32_t extra_size;    // bytes of the extra block
};

struct ControlTriple {
  uint32_t diff_length;   // output bytes formed as diff byte + source byte
  uint32_t extra_length;  // output bytes copied from the extra block
  int32_t source_seek;    // move of the source cursor after the triple
};

// The 32 header bytes of `header` (magic included), big-endian.
void encode_patch_header(const PatchHeader& header, unsigned char out[kPatchHeaderSize]);
void encode_control_triple(const ControlTriple& triple, unsigned char out[kControlTripleSize]);
ControlTriple decode_control_triple(const unsigned char in[kControlTripleSize]);

// Reads and checks the header of the patch file `fd` (at its start): the
// magic, and a file size of exactly 32 + the three block sizes. On OK the
// descriptor is left at offset 32. ERR_READ or ERR_BAD_DATA otherwise.
int read_patch_header(int fd, PatchHeader* header);

// CRC-32/BZIP2 (polynomial 0x04C11DB7, not reflected, initial and final
// XOR 0xFFFFFFFF) of `length` bytes at `data`.
uint32_t compute_crc(const void* data, size_t length);
