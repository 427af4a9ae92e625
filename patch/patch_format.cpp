// Encoding and reading the patch header and control triples.
#include "patch/patch_format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/byte_order.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"
#include "patch/x86_transform.h"

int patch_header_size(const PatchHeader& header) {
  return header.version == 2 ? kPatchHeaderSizeV2 : kPatchHeaderSize;
}

void encode_patch_header(const PatchHeader& header, unsigned char out[kPatchHeaderSizeV2]) {
  memcpy(out, header.version == 2 ? kPatchMagicV2 : kPatchMagic, sizeof kPatchMagic);
  store_be32(out + 8, header.source_size);
  store_be32(out + 12, header.source_crc);
  store_be32(out + 16, header.result_size);
  store_be32(out + 20, header.control_size);
  store_be32(out + 24, header.diff_size);
  store_be32(out + 28, header.extra_size);
  if (header.version != 2) return;
  store_be32(out + 32, header.result_crc);
  store_be32(out + 36, header.transform);
}

void encode_control_triple(const ControlTriple& triple, unsigned char out[kControlTripleSize]) {
  store_be32(out, triple.diff_length);
  store_be32(out + 4, triple.extra_length);
  store_be32(out + 8, static_cast<uint32_t>(triple.source_seek));
}

ControlTriple decode_control_triple(const unsigned char in[kControlTripleSize]) {
  return {load_be32(in), load_be32(in + 4), static_cast<int32_t>(load_be32(in + 8))};
}

int read_patch_header(int fd, PatchHeader* header) {
  unsigned char bytes[kPatchHeaderSizeV2];
  if (read(fd, bytes, kPatchHeaderSize) != kPatchHeaderSize) return ERR_READ;
  header->source_size = load_be32(bytes + 8);
  header->source_crc = load_be32(bytes + 12);
  header->result_size = load_be32(bytes + 16);
  header->control_size = load_be32(bytes + 20);
  header->diff_size = load_be32(bytes + 24);
  header->extra_size = load_be32(bytes + 28);
  header->result_crc = 0;
  header->transform = kTransformNone;
  header->source_data_size = header->source_size;
  if (memcmp(bytes, kPatchMagic, sizeof kPatchMagic) == 0) {
    header->version = 1;
  } else if (memcmp(bytes, kPatchMagicV2, sizeof kPatchMagicV2) == 0) {
    header->version = 2;
    if (read_exact(fd, bytes + kPatchHeaderSize, kPatchHeaderSizeV2 - kPatchHeaderSize) != OK)
      return ERR_READ;
    header->result_crc = load_be32(bytes + 32);
    header->transform = load_be32(bytes + 36);
    if (header->transform >= kTransformCount) {
      log_printf("patch transform not known: %u\n", header->transform);
      return ERR_BAD_DATA;
    }
    // Every byte of the result comes from one byte of the two blocks.
    if (header->result_size > uint64_t{header->diff_size} + header->extra_size) return ERR_BAD_DATA;
  } else {
    // A later version of the format is worth a line in the log; no patch at
    // all is told by the status alone.
    bool digits = bytes[6] >= '0' && bytes[6] <= '9' && bytes[7] >= '0' && bytes[7] <= '9';
    if (memcmp(bytes, kPatchMagic, 6) == 0 && digits)
      log_printf("patch format not known: %.8s\n", reinterpret_cast<const char*>(bytes));
    return ERR_BAD_DATA;
  }

  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  // Summed in 64 bits: a sum beyond the 32-bit range must never match.
  uint64_t expected = uint64_t(patch_header_size(*header)) + header->control_size +
                      header->diff_size + header->extra_size;
  if (expected > UINT32_MAX || static_cast<uint64_t>(st.st_size) != expected) return ERR_BAD_DATA;
  return OK;
}

size_t transform_room(const PatchHeader& header, size_t size) {
  if (header.version == 2 && header.transform == kTransformX86ElfIndexed)
    return x86_elf_index_room(size);
  return size;
}

int transform_forward(const PatchHeader& header, unsigned char* data, size_t* size) {
  if (header.version != 2) return OK;
  if (header.transform == kTransformX86Elf) x86_elf_transform(data, *size);
  if (header.transform == kTransformX86ElfIndexed)
    return x86_elf_index(data, size, transform_room(header, *size));
  return OK;
}

int transform_back(const PatchHeader& header, unsigned char* data, size_t* size) {
  if (header.version != 2) return OK;
  if (header.transform == kTransformX86Elf) x86_elf_untransform(data, *size);
  if (header.transform == kTransformX86ElfIndexed) return x86_elf_unindex(data, size);
  return OK;
}
