// Fuzz target: manifest text through the line reader, next_token and every
// action's ParseLine.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "driver/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Actions build temporary names in the update directory when destroyed.
  update_dir = "/nonexistent-fuzz-update-dir";
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  ActionChain chain;
  parse_manifest(text.data(), &chain);
  action_chain_destroy(&chain);
  return 0;
}
