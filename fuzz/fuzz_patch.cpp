// Fuzz target: the patch path on arbitrary bytes. The first two bytes say
// where the patch file ends and the old file begins; the patch goes through
// read_patch_header, the old file through LoadSourceFile, and both through
// apply_patch.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/status.h"
#include "fuzz/fuzz_input_file.h"
#include "patch/patch_apply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
  const uint8_t* patch = data + 2;
  const uint8_t* old_bytes = patch + split;
  size_t old_size = size - 2 - split;

  FuzzInputFile patch_file(patch, split);
  FuzzInputFile old_file(old_bytes, old_size);
  if (patch_file.fd < 0 || old_file.fd < 0) return 0;
  PatchHeader header;
  if (read_patch_header(patch_file.fd, &header) != OK) return 0;

  unsigned char* loaded = nullptr;
  LoadSourceFile(&header, old_file.fd, &loaded);
  free(loaded);

  // apply_patch trusts a header whose source was loaded: give it a source of
  // exactly source_size bytes, from the input where it has them.
  std::vector<unsigned char> source(header.source_size > (1u << 20) ? 0 : header.source_size);
  if (source.size() != header.source_size) return 0;
  for (size_t i = 0; i < source.size() && i < old_size; i++) source[i] = old_bytes[i];
  int out = open("/dev/null", O_WRONLY);
  apply_patch(&header, patch_file.fd, source.data(), out);
  close(out);
  return 0;
}
