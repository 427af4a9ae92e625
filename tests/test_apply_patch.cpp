// The patch applier on real files: worked examples byte for byte and the
// bounds a malformed patch may not cross, which a whole run cannot reach one
// by one.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/status.h"
#include "patch/patch_apply.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string parts(const std::string& source, std::vector<ControlTriple> triples, std::string diff, std::string extra) {
  PatchParts p = patch_parts_for(source);
  p.triples = std::move(triples);
  p.diff = std::move(diff);
  p.extra = std::move(extra);
  return encode_patch(p);
}

TEST(ApplyPatch, WorkedExamplesAndBounds) {
  const std::string z1(1, '\0'), z2(2, '\0'), z3(3, '\0'), z4(4, '\0');
  auto no_triple = [&](uint32_t control, const std::string& blocks) {
    return encode_header(2, compute_crc("ab", 2), control, static_cast<uint32_t>(blocks.size()) - control, 0) + blocks;
  };
  struct Case {
    const char* what;
    std::string source, patch;
    int rc;
    std::string output;  // all that is written, also before a failure
  } cases[] = {
      {"sum and extra", bytes({1, 2, 3}), parts(bytes({1, 2, 3}), {{3, 2, 0}}, bytes({0x10, 0x20, 0x30}), bytes({0xAA, 0xBB})),
       OK, bytes({0x11, 0x22, 0x33, 0xAA, 0xBB})},
      {"sum wraps", bytes({0xFF}), parts(bytes({0xFF}), {{1, 0, 0}}, bytes({2}), ""), OK, bytes({1})},
      {"backward seek repeats", "AB", parts("AB", {{2, 0, -2}, {2, 0, 0}}, z4, ""), OK, "ABAB"},
      {"seek to the very end", "abc", parts("abc", {{1, 0, 2}}, z1, ""), OK, "a"},
      {"forward seek skips", "abcdef", parts("abcdef", {{1, 0, 2}, {1, 0, 0}}, z2, ""), OK, "ad"},
      {"leftover blocks ignored", "abc", parts("abc", {{1, 1, 0}}, z3, "xyz"), OK, "ax"},
      {"extra only, empty source", "", parts("", {{0, 3, 0}}, "", "new"), OK, "new"},
      {"seek one past the end", "abc", parts("abc", {{1, 1, 3}}, z1, "x"), ERR_BAD_DATA, "ax"},
      {"diff block too short", "abc", parts("abc", {{1, 0, 0}, {2, 0, 0}}, z2, ""), ERR_BAD_DATA, "a"},
      {"past the source", "ab", parts("ab", {{3, 0, 0}}, "xyz", ""), ERR_BAD_DATA, ""},
      {"second triple past the source", "ab", parts("ab", {{2, 0, -1}, {2, 0, 0}}, z4, ""), ERR_BAD_DATA, "ab"},
      {"past the extra block", "ab", parts("ab", {{1, 3, 0}}, z1, "xy"), ERR_BAD_DATA, "a"},
      {"seek past the end", "ab", parts("ab", {{0, 0, 3}}, "", ""), ERR_BAD_DATA, ""},
      {"seek before the start", "ab", parts("ab", {{1, 0, -2}, {1, 0, 0}}, z2, ""), ERR_BAD_DATA, "a"},
      {"seek before the start at once", "ab", parts("ab", {{0, 0, -1}}, "", ""), ERR_BAD_DATA, ""},
      {"diff length at 2^32-1", "ab", parts("ab", {{UINT32_MAX, 0, 0}}, "xy", ""), ERR_BAD_DATA, ""},
      {"extra length at 2^32-1", "ab", parts("ab", {{0, UINT32_MAX, 0}}, "", "xy"), ERR_BAD_DATA, ""},
      {"largest forward seek", "ab", parts("ab", {{1, 0, INT32_MAX}}, z1, ""), ERR_BAD_DATA, "a"},
      {"largest backward seek", "ab", parts("ab", {{2, 0, INT32_MIN}}, z2, ""), ERR_BAD_DATA, "ab"},
      {"seek that would wrap into range", "ab", parts("ab", {{2, 0, -3}}, z2, ""), ERR_BAD_DATA, "ab"},
      {"no control block", "ab", no_triple(0, "diff"), ERR_BAD_DATA, ""},
      {"half a triple", "ab", no_triple(6, std::string(6, '\0')), ERR_BAD_DATA, ""},
      {"a triple and a part", "ab", no_triple(13, std::string(13, '\0') + "diff"), ERR_BAD_DATA, ""},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir / "p", c.patch);
    int fd = open((dir / "p").c_str(), O_RDONLY), out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    PatchHeader header;
    ASSERT_EQ(read_patch_header(fd, &header), OK);
    // The source in a buffer of exactly its size: the sanitizer sees any read past it.
    unsigned char* exact = static_cast<unsigned char*>(malloc(c.source.size() + 1));
    std::copy(c.source.begin(), c.source.end(), exact);
    EXPECT_EQ(apply_patch(&header, fd, exact, out), c.rc);
    free(exact);
    close(fd);
    close(out);
    EXPECT_EQ(read_file(dir / "out"), c.output);
  }
  EXPECT_EQ(compute_crc("123456789", 9), 0xFC891918u);
  // Sizes and CRC big-endian after the magic, the result size at 16.
  EXPECT_EQ(encode_header(256, 7, 12, 3, 4),
            "ZQDIFF10" + bytes({0, 0, 1, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 3, 0, 0, 0, 4}));
}

}  // namespace
