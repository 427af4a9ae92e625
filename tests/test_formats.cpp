// The package reader and the patch applier on hand-laid bytes, for what a
// whole run cannot reach one by one: the package format's example, every way
// a package can be unreadable, entries cut short or corrupt; the applier's
// worked examples byte for byte and the bounds a malformed patch may not cross.
#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "base/status.h"
#include "patch/patch_apply.h"
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
  // Positions are signed 32-bit: an entry that runs past 2^31 bytes into a
  // (sparse) package is not read there.
  std::string far = bz2(random_bytes(20000, 3));
  write_file(dir / "update.zav", package("", record(0x7FFFF000u, static_cast<uint32_t>(far.size()), 0644, "far")));
  int fd = open((dir / "update.zav").c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, far.data(), far.size(), 0x7FFFF000), static_cast<ssize_t>(far.size()));
  close(fd);
  ASSERT_EQ(package_reader.Open((dir / "update.zav").c_str()), OK);
  EXPECT_EQ(package_reader.ExtractEntry("far", (dir / "out").c_str()), ERR_READ);
  // A small entry reaches the disk only as the stream closes: a full disk then fails.
  ASSERT_EQ(open_bytes(package(bz2("x"), record(8, bz2("x").size(), 0644, "x"))), OK);
  EXPECT_EQ(package_reader.ExtractEntry("x", "/dev/full"), ERR_WRITE);
}

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
    // The source in a buffer of exactly its size (none at all for an empty
    // one): the sanitizer sees any read past it.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[c.source.size()]);
    std::copy(c.source.begin(), c.source.end(), exact.get());
    EXPECT_EQ(apply_patch(&header, fd, exact.get(), out), c.rc);
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
