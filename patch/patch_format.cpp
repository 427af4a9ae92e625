// Encoding and reading the patch header and control triples.
#include "patch/patch_format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/byte_order.h"
#include "base/status.h"

void encode_patch_header(const PatchHeader& header, unsigned char out[kPatchHeaderSize]) {
  memcpy(out, kPatchMagic, sizeof kPatchMagic);
  store_be32(out + 8, header.source_size);
  store_be32(out + 12, header.source_crc);
  store_be32(out + 16, header.result_size);
  store_be32(out + 20, header.control_size);
  store_be32(out + 24, header.diff_size);
  store_be32(out + 28, header.extra_size);
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
  unsigned char bytes[kPatchHeaderSize];
  if (read(fd, bytes, sizeof bytes) != kPatchHeaderSize) return ERR_READ;
  memcpy(header->magic, bytes, sizeof header->magic);
  header->source_size = load_be32(bytes + 8);
  header->source_crc = load_be32(bytes + 12);
  header->result_size = load_be32(bytes + 16);
  header->control_size = load_be32(bytes + 20);
  header->diff_size = load_be32(bytes + 24);
  header->extra_size = load_be32(bytes + 28);

  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  if (memcmp(header->magic, kPatchMagic, sizeof kPatchMagic) != 0) return ERR_BAD_DATA;
  // Summed in 64 bits: a sum beyond the 32-bit range must never match.
  uint64_t expected = uint64_t{kPatchHeaderSize} + header->control_size + header->diff_size +
                      header->extra_size;
  if (expected > UINT32_MAX || static_cast<uint64_t>(st.st_size) != expected) return ERR_BAD_DATA;
  return OK;
}
