// Fuzz target: version 2 patches through the applier. The first two bytes
// say where the patch file ends and the old file begins, as in fuzz_patch;
// the patch is made a version 2 patch with a known transform, sizes that add
// up and the old file's size and CRC, so that every input passes the header
// and source checks and reaches the transform, the triples and the result
// checks. An old file that is not ELF is also tried as the code of one.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/byte_order.h"
#include "base/status.h"
#include "fuzz/fuzz_input_file.h"
#include "tests/support/x86_elf.h"
#include "patch/patch_apply.h"

namespace {

void apply(std::string patch, const std::string& old_file) {
  if (patch.size() < kPatchHeaderSizeV2) patch.resize(kPatchHeaderSizeV2);
  unsigned char* h = reinterpret_cast<unsigned char*>(&patch[0]);
  uint32_t blocks = static_cast<uint32_t>(patch.size() - kPatchHeaderSizeV2);
  uint32_t triples = load_be32(h + 20) / kControlTripleSize % (blocks / kControlTripleSize + 1);
  uint32_t control = triples * kControlTripleSize;
  uint32_t diff = load_be32(h + 24) % (blocks - control + 1);
  memcpy(h, kPatchMagicV2, sizeof kPatchMagicV2);
  store_be32(h + 8, static_cast<uint32_t>(old_file.size()));
  store_be32(h + 12, compute_crc(old_file.data(), old_file.size()));
  store_be32(h + 16, load_be32(h + 16) % (blocks - control + 1));
  store_be32(h + 20, control);
  store_be32(h + 24, diff);
  store_be32(h + 28, blocks - control - diff);
  store_be32(h + 36, load_be32(h + 36) % kTransformCount);

  FuzzInputFile patch_file(h, patch.size());
  FuzzInputFile source_file(reinterpret_cast<const uint8_t*>(old_file.data()), old_file.size());
  if (patch_file.fd < 0 || source_file.fd < 0) return;
  PatchHeader header;
  unsigned char* source = nullptr;
  if (read_patch_header(patch_file.fd, &header) == OK &&
      LoadSourceFile(&header, source_file.fd, &source) == OK) {
    int out = open("/dev/null", O_WRONLY);
    apply_patch(&header, patch_file.fd, source, out);
    close(out);
  }
  free(source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
  std::string patch(reinterpret_cast<const char*>(data + 2), split);
  std::string old_file(reinterpret_cast<const char*>(data + 2 + split), size - 2 - split);
  apply(patch, old_file);
  if (old_file.compare(0, 4, "\x7f" "ELF") != 0) apply(patch, elf_around(old_file));
  return 0;
}
