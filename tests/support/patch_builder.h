// Writing patch files for the tests, from a list of triples and the diff and
// extra blocks, independently of any patch generator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patch/patch_format.h"

namespace testing_support {

struct PatchParts {
  std::vector<ControlTriple> triples;
  std::string diff;
  std::string extra;
  uint32_t source_size = 0;
  uint32_t source_crc = 0;
  uint32_t result_size = 0;
};

// Parts whose source size and CRC are those of `source`.
PatchParts patch_parts_for(const std::string& source);

// The whole patch file: header (block sizes from the parts), triples, diff, extra.
std::string encode_patch(const PatchParts& parts);

// A valid patch from `old_content` to `new_content`: one triple whose diff
// covers the common length and whose extra holds the rest of the new file.
std::string make_patch(const std::string& old_content, const std::string& new_content);

// The 32 header bytes alone, with any block sizes (for malformed headers).
std::string encode_header(uint32_t source_size, uint32_t source_crc, uint32_t control_size,
                          uint32_t diff_size, uint32_t extra_size);

}  // namespace testing_support
