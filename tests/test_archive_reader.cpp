// The package reader on hand-laid bytes: the format's example, every way a
// package can be unreadable, and entries cut short or corrupt.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/reader.h"
#include "base/status.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string bz2(const std::string& data) {
  std::vector<char> out(data.size() + data.size() / 100 + 700);
  unsigned size = static_cast<unsigned>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                     static_cast<unsigned>(data.size()), 9, 0, 0), BZ_OK);
  return std::string(out.data(), size);
}

std::string record(uint32_t offset, uint32_t size, uint32_t permissions, const std::string& name) {
  return be32(offset) + be32(size) + be32(permissions) + name + std::string(1, '\0');
}

// "ZAV1", the index position, `data`, then an index of `records`.
std::string package(const std::string& data, const std::string& records) {
  return "ZAV1" + be32(8 + static_cast<uint32_t>(data.size())) + data + be32(static_cast<uint32_t>(records.size())) +
         records;
}

struct ReaderTest : ::testing::Test {
  TempDir dir;
  ~ReaderTest() override { package_reader.Close(); }
  int open_bytes(const std::string& bytes) {
    write_file(dir / "update.zav", bytes);
    return package_reader.Open((dir / "update.zav").c_str());
  }
};

TEST_F(ReaderTest, FiftyFourByteExampleAndTheEarlierOfTwoNames) {
  const std::string example("ZAV1\0\0\0\x16" "BZh9\x17\x72\x45\x38\x50\x90\0\0\0\0" "\0\0\0\x1c\0\0\0\x08\0\0\0\x0e"
                            "\0\0\x01\xa4" "update.manifest", 54);
  ASSERT_EQ(open_bytes(example), OK);
  ASSERT_EQ(package_reader.ExtractEntry("update.manifest", (dir / "m").c_str()), OK);
  EXPECT_EQ(read_file(dir / "m"), "");
  EXPECT_EQ(file_mode(dir / "m"), 0644u);
  EXPECT_EQ(entry_name_hash("update.manifest"), 56);
  std::string one = bz2("first"), two = bz2("second");
  uint32_t o2 = 8 + static_cast<uint32_t>(one.size());
  ASSERT_EQ(open_bytes(package(one + two, record(8, one.size(), 0644, "dup") + record(o2, two.size(), 0600, "dup") +
                                             record(o2, two.size(), 0644, "Dup"))), OK);
  ASSERT_EQ(package_reader.ExtractEntry("dup", (dir / "d").c_str()), OK);
  EXPECT_EQ(read_file(dir / "d"), "first");
  EXPECT_EQ(package_reader.ExtractEntry("DUP", (dir / "x").c_str()), ERR_READ);
  EXPECT_FALSE(exists(dir / "x"));
}

TEST_F(ReaderTest, UnreadablePackagesOpenNothing) {
  std::string one = record(8, 14, 0644, "a");
  for (const std::string& bytes : {
           std::string("ZAV1\0\0\0", 7), "ZAV2" + be32(8) + be32(static_cast<uint32_t>(one.size())) + one,
           "ZAV1" + be32(1000), "ZAV1" + be32(0x80000010u) + be32(14) + one,
           "ZAV1" + be32(8) + std::string("\0\0", 2), "ZAV1" + be32(8) + be32(0),
           "ZAV1" + be32(8) + be32(100) + one, "ZAV1" + be32(8) + be32(0xFFFFFFF0u) + one,
           package("", one + std::string(13, 'x')), package("", record(8, 0, 0644, "")),
           package("", one + be32(8) + be32(1) + be32(0644) + "abc"), package("", std::string(10, '\0'))}) {
    SCOPED_TRACE(bytes.size());
    EXPECT_EQ(open_bytes(bytes), ERR_READ);
    EXPECT_EQ(package_reader.archive, nullptr);
  }
}

TEST_F(ReaderTest, EntriesCutShortOrCorruptFailWithoutHanging) {
  std::string big = random_bytes(100000, 1) + std::string(200000, 'z'), stream = bz2(big), corrupt = stream;
  corrupt[corrupt.size() / 2] ^= 0x55;
  uint32_t size = static_cast<uint32_t>(stream.size()), end = 8 + size;
  struct Case {
    const char* what;
    std::string bytes;
    int rc;
    char dest;  // 'e' empty, 'p' what was decoded before the error, '?' corrupt data decodes
  } cases[] = {
      {"size 0", package(stream, record(8, 0, 0644, "e")), ERR_BAD_DATA, 'e'},
      {"size one byte short", package(stream, record(8, size - 1, 0644, "e")), ERR_BAD_DATA, 'p'},
      {"size of 2^31", package(stream, record(8, 0x80000000u, 0644, "e")), ERR_BAD_DATA, 'e'},
      {"negative offset", package(stream, record(0xFFFFFFF0u, size, 0644, "e")), ERR_READ, 'e'},
      {"data beyond the end", package(stream, record(end + 1000, 50, 0644, "e")), ERR_READ, 'e'},
      {"corrupt stream", package(corrupt, record(8, size, 0644, "e")), ERR_BAD_DATA, '?'},
      {"not bzip2", package("hello, world", record(8, 12, 0644, "e")), ERR_BAD_DATA, 'e'},
      {"bytes after the stream end", package(stream + "junk", record(8, size + 4, 0644, "e")), OK, 'p'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(open_bytes(c.bytes), OK);
    EXPECT_EQ(package_reader.ExtractEntry("e", (dir / "out").c_str()), c.rc);
    std::string got = read_file(dir / "out");
    if (c.dest != '?') {
      EXPECT_EQ(got, c.dest == 'p' ? big.substr(0, got.size()) : "");
    }
    if (c.rc == OK) {
      EXPECT_EQ(got, big);
    }
  }
  // A small entry reaches the disk only as the stream closes: a full disk then fails.
  ASSERT_EQ(open_bytes(package(bz2("x"), record(8, bz2("x").size(), 0644, "x"))), OK);
  EXPECT_EQ(package_reader.ExtractEntry("x", "/dev/full"), ERR_WRITE);
}

}  // namespace
