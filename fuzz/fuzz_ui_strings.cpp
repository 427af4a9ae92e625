// Fuzz target: the UI strings file reader on arbitrary bytes.
#include <cstdint>
#include <cstring>

#include "base/status.h"
#include "fuzz/fuzz_input_file.h"
#include "ui/ui_strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInputFile input(data, size);
  if (input.fd < 0) return 0;
  ProgressStrings strings;
  if (read_ui_strings(input.path.c_str(), &strings) == OK) {
    // Both texts must be terminated inside their buffers.
    if (memchr(strings.window_title, '\0', sizeof strings.window_title) == nullptr ||
        memchr(strings.info_text, '\0', sizeof strings.info_text) == nullptr)
      __builtin_trap();
  }
  return 0;
}
