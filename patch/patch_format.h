// The binary patch format, shared by the updater's patch actions and by the
// tools that write and apply patches. Two versions, both applied by this
// build:
//
//   version 1  "ZQDIFF10", source_size, source_crc, result_size,
//              control_size, diff_size, extra_size                (32 bytes)
//   version 2  "ZQDIFF20", the same six fields, result_crc, transform
//                                                                 (40 bytes)
//   control    ControlTriple records, 12 bytes each
//   diff       bytes added (mod 256) to source bytes
//   extra      bytes copied to the output unchanged
//
// Every integer is big-endian; the file ends exactly after the extra block.
// A version 2 patch is made between OLD and NEW as its transform rewrites
// them: the applier transforms OLD, applies the blocks, undoes the transform
// on the result and checks the result's size and CRC.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kPatchMagic[8] = {'Z', 'Q', 'D', 'I', 'F', 'F', '1', '0'};
constexpr char kPatchMagicV2[8] = {'Z', 'Q', 'D', 'I', 'F', 'F', '2', '0'};
constexpr int kPatchHeaderSize = 32;    // version 1
constexpr int kPatchHeaderSizeV2 = 40;  // the largest
constexpr int kControlTripleSize = 12;

// Version 2's transforms. The numbers are stored in patches: never reuse or
// change one; a new transform takes the next number.
enum PatchTransform : uint32_t {
  kTransformNone = 0,
  kTransformX86Elf = 1,         // x86-64 ELF addresses (x86_elf_transform)
  kTransformX86ElfIndexed = 2,  // the same as indices in a table (x86_elf_index)
};
constexpr uint32_t kTransformCount = 3;  // numbers from here on are unknown

struct PatchHeader {
  uint32_t version = 1;   // 1 or 2
  uint32_t source_size;   // exact size of the file to be patched
  uint32_t source_crc;    // compute_crc of that file
  uint32_t result_size;   // as the blocks form it (version 2: before the transform is
                          // undone); version 1: carried, never checked
  uint32_t control_size;  // bytes of the control block
  uint32_t diff_size;     // bytes of the diff block
  uint32_t extra_size;    // bytes of the extra block
  uint32_t result_crc;    // version 2: compute_crc of the patched file
  uint32_t transform;     // version 2: a PatchTransform
  // Not stored: the bytes of source data apply_patch reads, source_size or
  // more where the transform makes the file longer (read_patch_header sets
  // it to source_size, LoadSourceFile to what it made).
  uint64_t source_data_size;
};

struct ControlTriple {
  uint32_t diff_length;   // output bytes formed as diff byte + source byte
  uint32_t extra_length;  // output bytes copied from the extra block
  int32_t source_seek;    // move of the source cursor after the triple
};

// The size of the header of `header`'s version.
int patch_header_size(const PatchHeader& header);
// The patch_header_size bytes of `header` (magic included), big-endian.
void encode_patch_header(const PatchHeader& header, unsigned char out[kPatchHeaderSizeV2]);
void encode_control_triple(const ControlTriple& triple, unsigned char out[kControlTripleSize]);
ControlTriple decode_control_triple(const unsigned char in[kControlTripleSize]);

// Reads and checks the header of the patch file `fd` (at its start): a
// magic of a known version, a known transform, a file size of exactly the
// header plus the three block sizes, and (version 2) a result no longer than
// the diff and extra blocks. On OK the descriptor is left just after the
// header. ERR_READ (shorter than its header) or ERR_BAD_DATA otherwise; a
// version or transform this build does not know is logged.
int read_patch_header(int fd, PatchHeader* header);

// The bytes a buffer needs to hold a file of `size` bytes as the transform
// of a version 2 header rewrites it: `size`, or more where the transform
// makes the file longer.
size_t transform_room(const PatchHeader& header, size_t size);
// Rewrites the `*size` bytes at `data`, which has transform_room bytes, as
// the transform of a version 2 header did with OLD and NEW before they were
// compared, and sets *size to the bytes it made; nothing for version 1 or
// kTransformNone. OK or ERR_NO_MEMORY.
int transform_forward(const PatchHeader& header, unsigned char* data, size_t* size);
// Undoes it on the `*size` bytes at `data`, which may become fewer. OK,
// ERR_NO_MEMORY, or ERR_BAD_DATA for bytes that the transform does not make.
int transform_back(const PatchHeader& header, unsigned char* data, size_t* size);

// CRC-32/BZIP2 (polynomial 0x04C11DB7, not reflected, initial and final
// XOR 0xFFFFFFFF) of `length` bytes at `data`.
uint32_t compute_crc(const void* data, size_t length);
