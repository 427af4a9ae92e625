// The package reader, the patch applier and the x86-64 transforms on
// hand-laid bytes, for what a whole run cannot reach one by one: the package
// format's example, every way a package can be unreadable, entries cut short
// or corrupt; the applier's worked examples byte for byte and the bounds a
// malformed patch may not cross; the transforms' worked example (their
// frozen form) and their exact inverse on any file.
#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "base/byte_order.h"
#include "base/status.h"
#include "patch/patch_apply.h"
#include "patch/x86_transform.h"
#include "tests/support/test_support.h"
#include "tests/support/x86_elf.h"

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

// Version 2 on hand-laid bytes (no transform: the transforms have their own
// test): the result is formed whole, checked, and only then written.
TEST(ApplyPatch, Version2WritesOnlyAWholeCheckedResult) {
  auto v2 = [](std::vector<ControlTriple> triples, std::string diff, std::string extra, uint32_t crc,
               uint32_t result_size = 0, uint32_t transform = 0) {
    PatchParts p = patch_parts_for("abc");
    p.triples = std::move(triples);
    p.diff = std::move(diff);
    p.extra = std::move(extra);
    p.version = 2;
    p.result_crc = crc;
    p.result_size = result_size;
    p.transform = transform;
    return encode_patch(p);
  };
  const uint32_t good = compute_crc("bcXY", 4);
  struct Case {
    const char* what;
    std::string patch;
    int header_rc, rc;
    std::string output;
  } cases[] = {
      {"seek, sum and extra", v2({{0, 0, 1}, {2, 2, 0}}, bytes({0, 0}), "XY", good), OK, OK, "bcXY"},
      {"result of another CRC", v2({{0, 0, 1}, {2, 2, 0}}, bytes({0, 0}), "XY", good ^ 1), OK, ERR_BAD_DATA, ""},
      {"runs short of the result", v2({{0, 0, 1}, {2, 1, 0}}, bytes({0, 0}), "XY", good, 4), OK, ERR_BAD_DATA, ""},
      {"runs past the result", v2({{0, 0, 1}, {2, 2, 0}}, bytes({0, 0}), "XY", good, 3), OK, ERR_BAD_DATA, ""},
      {"past the extra block", v2({{0, 0, 1}, {2, 3, 0}}, bytes({0, 0}), "XY", good, 4), OK, ERR_BAD_DATA, ""},
      {"result longer than both blocks", v2({{0, 0, 1}, {2, 2, 0}}, bytes({0, 0}), "XY", good, 5), ERR_BAD_DATA, 0, ""},
      {"transform this build does not know", v2({{0, 0, 1}, {2, 2, 0}}, bytes({0, 0}), "XY", good, 0, 3),
       ERR_BAD_DATA, 0, ""},
      {"version this build does not know", "ZQDIFF30" + v2({{2, 2, 0}}, bytes({0, 0}), "XY", good).substr(8),
       ERR_BAD_DATA, 0, ""},
      {"cut inside its longer header", v2({}, "", "", 0).substr(0, 36), ERR_READ, 0, ""},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir / "p", c.patch);
    write_file(dir / "old", "abc");
    int fd = open((dir / "p").c_str(), O_RDONLY), old = open((dir / "old").c_str(), O_RDONLY);
    int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    PatchHeader header;
    unsigned char* source = nullptr;
    ASSERT_EQ(read_patch_header(fd, &header), c.header_rc);
    if (c.header_rc == OK) {
      ASSERT_EQ(LoadSourceFile(&header, old, &source), OK);
      EXPECT_EQ(apply_patch(&header, fd, source, out), c.rc);
    }
    free(source);
    for (int open_fd : {fd, old, out}) close(open_fd);
    EXPECT_EQ(read_file(dir / "out"), c.output);
  }
  // The CRC of the result and the transform after version 1's fields.
  EXPECT_EQ(v2({}, "", "", 0x01020304, 0, 2).substr(0, 40),
            "ZQDIFF20" + bytes({0, 0, 0, 3}) + be32(compute_crc("abc", 3)) +
                bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 2}));
}

// Each instruction form the decoder must measure, then a call: the call's
// rel32 becomes absolute only when the form's length was read right, and a
// RIP-relative disp32 (at `rip`, -1 for none) only when its field was found.
TEST(X86Transform, DecoderMeasuresEveryInstructionForm) {
  struct Row {
    const char* hex;
    int rip;
  } rows[] = {
      {"04 7F", -1}, {"05 01 02 03 04", -1}, {"48 B8 01 02 03 04 05 06 07 08", -1}, {"66 B8 34 12", -1},
      {"F6 C0 01", -1}, {"F7 C0 01 02 03 04", -1}, {"F7 D0", -1}, {"0F 1F 44 00 00", -1}, {"0F 38 00 C1", -1},
      {"66 0F 38 00 05 10 00 00 00", 5}, {"66 0F 3A 0F 05 10 00 00 00 08", 5}, {"C5 F8 28 05 10 00 00 00", 4},
      {"C4 E3 79 0F 05 10 00 00 00 08", 5}, {"62 F1 7C 48 28 05 10 00 00 00", 6}, {"F3 48 0F B8 C1", -1},
      {"66 2E 0F 1F 84 00 00 00 00 00", -1}, {"48 C7 05 10 00 00 00 01 00 00 00", 3}, {"F6 05 10 00 00 00 01", 2},
      {"F7 05 10 00 00 00 01 02 03 04", 2}, {"0F 84 10 00 00 00", -1}, {"EB 05", -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.hex);
    std::istringstream in(r.hex);
    std::string code;
    for (unsigned b; in >> std::hex >> b;) code.push_back(static_cast<char>(b));
    size_t length = code.size();
    code += bytes({0xE8, 0, 0, 0, 0});
    std::string expected = code;
    auto absolute = [&](size_t at, uint32_t next) {
      unsigned char* field = reinterpret_cast<unsigned char*>(&expected[at]);
      store_le32(field, load_le32(field) + next);
    };
    if (r.rip >= 0) absolute(static_cast<size_t>(r.rip), static_cast<uint32_t>(0x401000 + length));
    absolute(length + 1, static_cast<uint32_t>(0x401000 + length + 5));
    std::string file = elf_around(code);
    x86_elf_transform(reinterpret_cast<unsigned char*>(&file[0]), file.size());
    EXPECT_EQ(file, elf_around(expected));
  }
}

TEST(X86Transform, WorkedExampleAndExactInverseOnAnyFile) {
  // call rel32; lea rax,[rip+0x100]; mov dword [rip-0x10],42; jmp rel32 (stays
  // relative); mov eax,[0x11223344] (no RIP); call [rip-10]; a call cut short.
  const std::string code = bytes({0xE8, 0x10, 0, 0, 0, 0x48, 0x8D, 0x05, 0, 1, 0, 0, 0xC7, 0x05, 0xF0, 0xFF, 0xFF,
                                  0xFF, 0x2A, 0, 0, 0, 0xE9, 0, 0, 0, 0, 0x8B, 0x04, 0x25, 0x44, 0x33, 0x22, 0x11,
                                  0xFF, 0x15, 0xF6, 0xFF, 0xFF, 0xFF, 0xE8, 1, 2});
  auto with_fields = [&](std::initializer_list<std::string> f) {
    std::vector<std::string> v(f);
    std::string c = code;
    size_t at[] = {1, 8, 14, 36};
    for (size_t k = 0; k < 4; k++) c.replace(at[k], 4, v[k]);
    return elf_around(c);
  };
  const std::string elf = elf_around(code);
  std::string absolute = elf;
  x86_elf_transform(reinterpret_cast<unsigned char*>(&absolute[0]), absolute.size());
  EXPECT_EQ(absolute, with_fields({bytes({0x15, 0x10, 0x40, 0}), bytes({0x0C, 0x11, 0x40, 0}),
                                   bytes({0x06, 0x10, 0x40, 0}), bytes({0x1E, 0x10, 0x40, 0})}));
  // Indices among 0x401006, 0x401015, 0x40101E, 0x40110C; then those as
  // LEB128 distances, their count and their bytes.
  auto indexed = [](const std::string& file, int expected_rc = OK) {
    size_t size = file.size(), room = x86_elf_index_room(size);
    unsigned char* data = static_cast<unsigned char*>(malloc(room));
    std::copy(file.begin(), file.end(), data);
    EXPECT_EQ(x86_elf_index(data, &size, room), expected_rc);
    std::string out(reinterpret_cast<char*>(data), size);
    free(data);
    return out;
  };
  EXPECT_EQ(indexed(elf), with_fields({bytes({1, 0, 0, 0}), bytes({3, 0, 0, 0}), bytes({0, 0, 0, 0}),
                                       bytes({2, 0, 0, 0})}) +
                              bytes({0x86, 0xA0, 0x80, 0x02, 0x0F, 0x09, 0xEE, 0x01, 4, 0, 0, 0, 8, 0, 0, 0}));

  // Any file comes back exactly: a program, cut short, with its section
  // table damaged in each way the walk must not trust, or random bytes.
  std::string program = read_file("/proc/self/exe"), damaged = program, wide = program;
  uint64_t table;
  memcpy(&table, &program[0x28], 8);
  for (size_t k = 1; k < 64 && table + 64 * k + 64 <= damaged.size(); k++)
    damaged[table + 64 * k + 24 + k % 16] ^= static_cast<char>(0x40 + k);  // offsets and sizes off
  wide[0x3C] = wide[0x3D] = '\xff';  // more sections than the file holds
  std::string into_table = elf;
  into_table[64 + code.size() + 64 + 24] = static_cast<char>(64 + code.size());  // the section is the table
  std::pair<const char*, const std::string*> files[] = {
      {"program", &program}, {"damaged", &damaged}, {"wide", &wide}, {"into table", &into_table}};
  for (const auto& [name, file] : files) {
    for (size_t size : {file->size(), file->size() / 2, size_t{100}}) {
      SCOPED_TRACE(std::string(name) + " cut to " + std::to_string(size));
      std::string original = file->substr(0, size), plain = original;
      x86_elf_transform(reinterpret_cast<unsigned char*>(&plain[0]), plain.size());
      if (file == &program && size == file->size()) {
        EXPECT_FALSE(plain == original);
      }
      x86_elf_untransform(reinterpret_cast<unsigned char*>(&plain[0]), plain.size());
      EXPECT_TRUE(plain == original);
      std::string index = indexed(original);
      size_t index_size = index.size();
      EXPECT_EQ(x86_elf_unindex(reinterpret_cast<unsigned char*>(&index[0]), &index_size), OK);
      EXPECT_TRUE(index.substr(0, index_size) == original);
    }
  }
  // What no forward run gives is refused.
  std::string good = indexed(elf), out_of_table = good;
  out_of_table[64 + 1] = 4;
  for (const std::string& bad : {good.substr(0, 7), good.substr(good.size() - 8), out_of_table,
                                 good.substr(0, good.size() - 16) + bytes({0x86, 0xA0, 0x80, 0x82, 0x80, 0x80, 0, 0}) +
                                     good.substr(good.size() - 8),
                                 good.substr(0, good.size() - 8) + bytes({9, 0, 0, 0, 8, 0, 0, 0})}) {
    std::string copy = bad;
    size_t size = copy.size();
    EXPECT_EQ(x86_elf_unindex(reinterpret_cast<unsigned char*>(&copy[0]), &size), ERR_BAD_DATA);
  }
}

}  // namespace
