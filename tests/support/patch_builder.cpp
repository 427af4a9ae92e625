// Patch files for the tests, from triples and blocks.
#include "tests/support/patch_builder.h"

#include <algorithm>

namespace testing_support {

PatchParts patch_parts_for(const std::string& source) {
  PatchParts parts;
  parts.source_size = static_cast<uint32_t>(source.size());
  parts.source_crc = compute_crc(source.data(), source.size());
  return parts;
}

std::string encode_header(uint32_t source_size, uint32_t source_crc, uint32_t control_size,
                          uint32_t diff_size, uint32_t extra_size) {
  PatchHeader h{};
  h.source_size = source_size;
  h.source_crc = source_crc;
  h.control_size = control_size;
  h.diff_size = diff_size;
  h.extra_size = extra_size;
  unsigned char bytes[kPatchHeaderSize];
  encode_patch_header(h, bytes);
  return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string encode_patch(const PatchParts& parts) {
  PatchHeader h{};
  h.source_size = parts.source_size;
  h.source_crc = parts.source_crc;
  h.result_size = parts.result_size;
  h.control_size = static_cast<uint32_t>(parts.triples.size() * kControlTripleSize);
  h.diff_size = static_cast<uint32_t>(parts.diff.size());
  h.extra_size = static_cast<uint32_t>(parts.extra.size());
  unsigned char bytes[kPatchHeaderSize];
  encode_patch_header(h, bytes);
  std::string out(reinterpret_cast<char*>(bytes), sizeof bytes);
  for (const ControlTriple& t : parts.triples) {
    unsigned char triple[kControlTripleSize];
    encode_control_triple(t, triple);
    out.append(reinterpret_cast<char*>(triple), sizeof triple);
  }
  return out + parts.diff + parts.extra;
}

std::string make_patch(const std::string& old_content, const std::string& new_content) {
  PatchParts parts = patch_parts_for(old_content);
  size_t common = std::min(old_content.size(), new_content.size());
  parts.diff.resize(common);
  for (size_t i = 0; i < common; i++) {
    parts.diff[i] = static_cast<char>(static_cast<unsigned char>(new_content[i]) -
                                      static_cast<unsigned char>(old_content[i]));
  }
  parts.extra = new_content.substr(common);
  parts.result_size = static_cast<uint32_t>(new_content.size());
  parts.triples.push_back({static_cast<uint32_t>(common),
                           static_cast<uint32_t>(parts.extra.size()), 0});
  return encode_patch(parts);
}

}  // namespace testing_support
