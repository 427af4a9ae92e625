// compute_crc against the standard's check value and against a bit-at-a-time
// reference, over lengths and alignments that exercise every path of the
// sliced loop and its byte tail.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "patch/patch_format.h"

namespace {

// CRC-32/BZIP2 one bit at a time, straight from the polynomial.
uint32_t reference_crc(const unsigned char* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int bit = 0; bit < 8; bit++) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return ~crc;
}

TEST(Crc, CheckValueEmptyInputAndKnownValues) {
  struct Case {
    std::string input;
    uint32_t crc;
  } cases[] = {
      {"123456789", 0xFC891918u},
      {"", 0u},
      {std::string(1, '\0'), 0xB1F7404Bu},
      {"The quick brown fox jumps over the lazy dog", 0x459DEE61u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(compute_crc(c.input.data(), c.input.size()), c.crc);
    EXPECT_EQ(reference_crc(reinterpret_cast<const unsigned char*>(c.input.data()), c.input.size()),
              c.crc);
  }
  EXPECT_EQ(compute_crc(nullptr, 0), 0u);
}

TEST(Crc, MatchesBitwiseReferenceOverLengthsAndAlignments) {
  std::mt19937 random(12345);
  std::vector<unsigned char> data(70000);
  for (unsigned char& b : data) b = static_cast<unsigned char>(random());

  // Every length up to a few slices, at every alignment of a 16-byte step.
  for (size_t offset = 0; offset < 17; offset++) {
    for (size_t length = 0; length < 100; length++) {
      ASSERT_EQ(compute_crc(data.data() + offset, length), reference_crc(data.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
  // Random spans, long ones included.
  for (int i = 0; i < 300; i++) {
    size_t offset = random() % 64;
    size_t length = random() % (data.size() - offset);
    ASSERT_EQ(compute_crc(data.data() + offset, length), reference_crc(data.data() + offset, length))
        << "offset " << offset << " length " << length;
  }
  // Runs of the extreme bytes, where a table built wrongly shows first.
  std::vector<unsigned char> ones(1000, 0xFF), zeros(1000, 0);
  EXPECT_EQ(compute_crc(ones.data(), ones.size()), reference_crc(ones.data(), ones.size()));
  EXPECT_EQ(compute_crc(zeros.data(), zeros.size()), reference_crc(zeros.data(), zeros.size()));
}

}  // namespace
