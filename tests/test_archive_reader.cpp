// The package reader on hand-laid packages: the format's example, every way a
// package can be unreadable, and entries that are cut short or corrupt.
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
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}

std::string bz2(const std::string& data) {
  std::vector<char> out(data.size() + data.size() / 100 + 700);
  unsigned size = static_cast<unsigned>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                     static_cast<unsigned>(data.size()), 9, 0, 0),
            BZ_OK);
  return std::string(out.data(), size);
}

const std::string kEmptyStream("\x42\x5A\x68\x39\x17\x72\x45\x38\x50\x90\x00\x00\x00\x00", 14);

std::string record(uint32_t offset, uint32_t size, uint32_t permissions, const std::string& name) {
  return be32(offset) + be32(size) + be32(permissions) + name + std::string(1, '\0');
}

// "ZAV1", the index position, `data`, then an index of `records`.
std::string package(const std::string& data, const std::string& records) {
  return "ZAV1" + be32(8 + static_cast<uint32_t>(data.size())) + data +
         be32(static_cast<uint32_t>(records.size())) + records;
}

struct ReaderTest : ::testing::Test {
  TempDir dir;
  mode_t old_mask = umask(022);
  ~ReaderTest() override {
    package_reader.Close();
    umask(old_mask);
  }
  std::string put(const std::string& bytes) {
    std::string path = dir / "update.zav";
    write_file(path, bytes);
    return path;
  }
  int extract_from(const std::string& bytes, const char* name, const std::string& dest) {
    if (package_reader.Open(put(bytes).c_str()) != OK) return -1;
    return package_reader.ExtractEntry(name, dest.c_str());
  }
};

TEST_F(ReaderTest, FiftyFourByteExampleExtractsEmptyManifest) {
  const unsigned char bytes[54] = {
      'Z',  'A',  'V',  '1',  0x00, 0x00, 0x00, 0x16, 0x42, 0x5A, 0x68, 0x39, 0x17, 0x72,
      0x45, 0x38, 0x50, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00,
      0x00, 0x08, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x01, 0xA4, 'u',  'p',  'd',  'a',
      't',  'e',  '.',  'm',  'a',  'n',  'i',  'f',  'e',  's',  't',  0x00};
  std::string dest = dir / "update.manifest";
  ASSERT_EQ(extract_from(std::string(reinterpret_cast<const char*>(bytes), 54),
                         "update.manifest", dest),
            OK);
  EXPECT_EQ(entry_name_hash("update.manifest"), 56);
  EXPECT_EQ(entry_name_hash("abc"), 70);
  EXPECT_EQ(entry_name_hash(""), 0);
  EXPECT_TRUE(exists(dest));
  EXPECT_EQ(read_file(dest), "");
  EXPECT_EQ(file_mode(dest), 0644u);
}

TEST_F(ReaderTest, UnreadablePackagesOpenNothing) {
  std::string one = record(8, 14, 0644, "a");
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"shorter than the header", "ZAV1\0\0\0"},
      {"wrong magic", "ZAV2" + be32(8) + be32(static_cast<uint32_t>(one.size())) + one},
      {"index offset beyond the end", "ZAV1" + be32(1000)},
      {"index offset of 2^31 or more", "ZAV1" + be32(0x80000010u) + be32(14) + one},
      {"fewer than 4 bytes at the index", "ZAV1" + be32(8) + std::string("\0\0", 2)},
      {"index length 0", "ZAV1" + be32(8) + be32(0)},
      {"index shorter than its length", "ZAV1" + be32(8) + be32(100) + one},
      {"huge index length", "ZAV1" + be32(8) + be32(0xFFFFFFF0u) + one},
      {"13 bytes left after a record", package("", one + std::string(13, 'x'))},
      {"last record with an empty name", package("", record(8, 0, 0644, ""))},
      {"name without NUL", package("", one + be32(8) + be32(1) + be32(0644) + "abc")},
      {"record too short", package("", std::string(10, '\0'))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(package_reader.Open(put(c.bytes).c_str()), ERR_READ);
    EXPECT_EQ(package_reader.archive, nullptr);
  }
  EXPECT_EQ(package_reader.Open((dir / "missing.zav").c_str()), ERR_READ);
  EXPECT_EQ(package_reader.archive, nullptr);
}

TEST_F(ReaderTest, OpenWhileOpenClosesTheFirstEvenWhenTheSecondFails) {
  std::string good = package(kEmptyStream, record(8, 14, 0644, "a"));
  ASSERT_EQ(package_reader.Open(put(good).c_str()), OK);
  ASSERT_NE(package_reader.archive, nullptr);
  EXPECT_EQ(package_reader.Open((dir / "missing.zav").c_str()), ERR_READ);
  EXPECT_EQ(package_reader.archive, nullptr);
  package_reader.Close();  // no package: no effect
  EXPECT_EQ(package_reader.archive, nullptr);
  // Without a package, extraction fails and creates nothing.
  EXPECT_EQ(package_reader.ExtractEntry("a", (dir / "out").c_str()), ERR_READ);
  EXPECT_FALSE(exists(dir / "out"));
}

TEST_F(ReaderTest, LookupsAreExactAndFindTheEarlierOfTwoNames) {
  std::string one = bz2("first");
  std::string two = bz2("second");
  std::string upper = bz2("upper");
  uint32_t o1 = 8, o2 = o1 + one.size(), o3 = o2 + two.size();
  std::string records = record(o1, one.size(), 0644, "") + record(o1, one.size(), 0644, "dup") +
                        record(o2, two.size(), 0600, "dup") +
                        record(o3, upper.size(), 0644, "Dup");
  ASSERT_EQ(package_reader.Open(put(package(one + two + upper, records)).c_str()), OK);
  UpdateArchive* a = package_reader.archive;
  ArchiveEntry* empty = archive_find(a, "");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->offset, 8);
  ArchiveEntry* dup = archive_find(a, "dup");
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(dup->permissions, 0644u);
  ArchiveEntry* upper_entry = archive_find(a, "Dup");
  ASSERT_NE(upper_entry, nullptr);
  EXPECT_NE(upper_entry, dup);
  EXPECT_EQ(archive_find(a, "DUP"), nullptr);

  std::vector<std::string> seen;
  archive_for_each(
      a,
      [](UpdateArchive*, ArchiveEntry* e, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            std::string(e->name) + ":" + std::to_string(e->permissions));
        return 0;
      },
      &seen);
  std::vector<std::string> dups;
  for (const std::string& s : seen)
    if (s.rfind("dup:", 0) == 0) dups.push_back(s);
  EXPECT_EQ(dups, (std::vector<std::string>{"dup:420", "dup:384"}));
  EXPECT_EQ(seen.size(), 4u);

  ASSERT_EQ(package_reader.ExtractEntry("Dup", (dir / "u").c_str()), OK);
  EXPECT_EQ(read_file(dir / "u"), "upper");
}

TEST_F(ReaderTest, RawReadsStopAtTheEntryEnd) {
  std::string data = "0123456789";
  ASSERT_EQ(package_reader.Open(put(package(data, record(8, 10, 0644, "raw"))).c_str()), OK);
  ArchiveEntry* e = archive_find(package_reader.archive, "raw");
  char buffer[32];
  EXPECT_EQ(archive_read(package_reader.archive, e, 10, buffer, 4), 0);
  EXPECT_EQ(archive_read(package_reader.archive, e, 11, buffer, 4), -1);
  EXPECT_EQ(archive_read(package_reader.archive, e, 7, buffer, 32), 3);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(archive_read(package_reader.archive, e, 2, buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "23");
}

TEST_F(ReaderTest, EntriesCutShortOrCorruptFailWithoutHanging) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>((i * 7919) >> 5);
  std::string stream = bz2(big);
  std::string corrupt = stream;
  corrupt[corrupt.size() / 2] ^= 0x55;
  uint32_t end = 8 + stream.size();
  struct Case {
    const char* what;
    std::string bytes;
    int expected;
    char dest;  // 'e' empty, 'p' a prefix of the data, '?' anything (corrupt data decodes)
  } cases[] = {
      {"size 0", package(stream, record(8, 0, 0644, "e")), ERR_BAD_DATA, 'e'},
      {"size one byte short", package(stream, record(8, stream.size() - 1, 0644, "e")),
       ERR_BAD_DATA, 'p'},
      {"size of 2^31 or more", package(stream, record(8, 0x80000000u, 0644, "e")), ERR_BAD_DATA,
       'e'},
      {"negative offset", package(stream, record(0xFFFFFFF0u, stream.size(), 0644, "e")),
       ERR_READ, 'e'},
      {"data beyond the end of the file", package(stream, record(end + 1000, 50, 0644, "e")),
       ERR_READ, 'e'},
      {"corrupt stream", package(corrupt, record(8, corrupt.size(), 0644, "e")), ERR_BAD_DATA,
       '?'},
      {"not bzip2 at all", package("hello, world", record(8, 12, 0644, "e")), ERR_BAD_DATA, 'e'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string dest = dir / "out";
    unlink(dest.c_str());
    EXPECT_EQ(extract_from(c.bytes, "e", dest), c.expected);
    EXPECT_TRUE(exists(dest));
    std::string got = read_file(dest);
    if (c.dest == 'e') {
      EXPECT_EQ(got.size(), 0u);
    }
    // What was decoded before the error, and nothing else.
    if (c.dest == 'p') {
      EXPECT_TRUE(got == big.substr(0, got.size())) << got.size();
    }
    // The package stays usable after a failed extraction.
    package_reader.Close();
  }
}

TEST_F(ReaderTest, BytesAfterTheStreamEndAreIgnored) {
  std::string stream = bz2("payload");
  std::string data = stream + "trailing garbage";
  std::string dest = dir / "out";
  ASSERT_EQ(extract_from(package(data, record(8, data.size(), 0644, "p")), "p", dest), OK);
  EXPECT_EQ(read_file(dest), "payload");
}

TEST_F(ReaderTest, ExtractionKeepsAnExistingModeAndNeedsItsDirectory) {
  std::string p = package(bz2("new content"), record(8, bz2("new content").size(), 0755, "x"));
  std::string existing = dir / "existing";
  write_file(existing, "old and longer content", 0600);
  ASSERT_EQ(extract_from(p, "x", existing), OK);
  EXPECT_EQ(read_file(existing), "new content");
  EXPECT_EQ(file_mode(existing), 0600u);

  std::string fresh = dir / "fresh";
  ASSERT_EQ(package_reader.ExtractEntry("x", fresh.c_str()), OK);
  EXPECT_EQ(file_mode(fresh), 0755u);

  EXPECT_EQ(package_reader.ExtractEntry("x", (dir / "no/such/dir/f").c_str()), ERR_WRITE);
  EXPECT_FALSE(exists(dir / "no"));
  EXPECT_EQ(package_reader.ExtractEntry("missing", (dir / "m").c_str()), ERR_READ);
  EXPECT_FALSE(exists(dir / "m"));

  // A small entry reaches the disk only when the stream is closed: a full
  // disk then must not be reported as a complete extraction.
  EXPECT_EQ(package_reader.ExtractEntry("x", "/dev/full"), ERR_WRITE);
}

TEST_F(ReaderTest, LargeEntriesRoundTripThroughTheWriter) {
  std::string big;
  for (int i = 0; i < 50000; i++) big += std::to_string(i * 2654435761u) + (i % 3 ? " " : "\n");
  std::string path = dir / "w.zav";
  make_package(path, {{"big", big, 0640}, {"small", "s", 0600}, {"empty", "", 0644}});
  ASSERT_EQ(package_reader.Open(path.c_str()), OK);
  ASSERT_EQ(package_reader.ExtractEntry("big", (dir / "big").c_str()), OK);
  EXPECT_EQ(read_file(dir / "big"), big);
  EXPECT_GT(big.size(), 8192u * 10);
  EXPECT_EQ(file_mode(dir / "big"), 0640u);
  ASSERT_EQ(package_reader.ExtractEntry("empty", (dir / "empty").c_str()), OK);
  EXPECT_EQ(read_file(dir / "empty"), "");
  ASSERT_EQ(package_reader.ExtractEntry("small", (dir / "small").c_str()), OK);
  EXPECT_EQ(read_file(dir / "small"), "s");
}

}  // namespace
