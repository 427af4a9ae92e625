// The patch header reader, the source loader and the applier on real files:
// the worked examples byte for byte, and every way a patch or a file to be
// patched can be wrong.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/status.h"
#include "patch/patch_apply.h"
#include "patch/patch_format.h"
#include "tests/support/patch_builder.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

struct PatchFilesTest : ::testing::Test {
  TempDir dir;
  std::string log_path = dir / "log";
  PatchFilesTest() { log_file = fopen(log_path.c_str(), "w"); }
  ~PatchFilesTest() override {
    fclose(log_file);
    log_file = nullptr;
  }
  std::string log() { return read_file(log_path); }

  struct Applied {
    int rc;
    std::string output;
  };
  // Writes `patch` to a file, reads its header (which must be accepted) and
  // applies it to `source` into a new file.
  Applied apply(const std::string& source, const std::string& patch) {
    write_file(dir / "p", patch);
    int fd = open((dir / "p").c_str(), O_RDONLY);
    PatchHeader header;
    int rc = read_patch_header(fd, &header);
    EXPECT_EQ(rc, OK) << "header refused";
    Applied result = apply_with(header, fd, source);
    close(fd);
    return result;
  }
  Applied apply_with(const PatchHeader& header, int patch_fd, const std::string& source) {
    std::string out_path = dir / "out";
    unlink(out_path.c_str());
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The source is handed over in a buffer of exactly its size, so that the
    // sanitizer sees any read past it.
    std::vector<unsigned char> data(source.begin(), source.end());
    unsigned char* exact = static_cast<unsigned char*>(malloc(data.size() + (data.empty() ? 1 : 0)));
    std::copy(data.begin(), data.end(), exact);
    int rc = apply_patch(&header, patch_fd, exact, out);
    free(exact);
    close(out);
    return {rc, read_file(out_path)};
  }
};

TEST_F(PatchFilesTest, WorkedExamplesGiveTheirBytes) {
  struct Case {
    const char* what;
    std::string source;
    std::vector<ControlTriple> triples;
    std::string diff, extra;
    int rc;
    std::string output;
  } cases[] = {
      {"sum and extra", bytes({1, 2, 3}), {{3, 2, 0}}, bytes({0x10, 0x20, 0x30}),
       bytes({0xAA, 0xBB}), OK, bytes({0x11, 0x22, 0x33, 0xAA, 0xBB})},
      {"sum wraps", bytes({0xFF}), {{1, 0, 0}}, bytes({2}), "", OK, bytes({1})},
      {"backward seek repeats bytes", "AB", {{2, 0, -2}, {2, 0, 0}}, std::string(4, '\0'), "", OK,
       "ABAB"},
      {"seek exactly to the end", bytes({1, 2, 3}), {{1, 0, 2}}, bytes({0}), "", OK, bytes({1})},
      {"seek one past the end, after the bytes", bytes({1, 2, 3}), {{1, 1, 3}}, bytes({0}), "x",
       ERR_BAD_DATA, bytes({1}) + "x"},
      {"diff block too short: nothing of that triple", "abc", {{1, 0, 0}, {2, 0, 0}},
       std::string(2, '\0'), "", ERR_BAD_DATA, "a"},
      {"leftover diff and extra ignored", "abc", {{1, 1, 0}}, std::string(3, '\0'), "xyz", OK,
       "ax"},
      {"extra only, empty source", "", {{0, 3, 0}}, "", "new", OK, "new"},
      {"nothing at all", "abc", {{0, 0, 0}}, "", "", OK, ""},
      {"forward seek skips", "abcdef", {{1, 0, 2}, {1, 0, 0}}, std::string(2, '\0'), "", OK, "ad"},
      {"seek -1 rereads", "A", {{1, 0, -1}, {1, 0, 0}}, std::string(2, '\0'), "", OK, "AA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PatchParts parts = patch_parts_for(c.source);
    parts.triples = c.triples;
    parts.diff = c.diff;
    parts.extra = c.extra;
    parts.result_size = 12345;  // never compared with anything
    Applied a = apply(c.source, encode_patch(parts));
    EXPECT_EQ(a.rc, c.rc);
    EXPECT_EQ(a.output, c.output);
  }
}

TEST_F(PatchFilesTest, MalformedPatchesAreRefusedWithoutReadingOutside) {
  const uint32_t kMax = UINT32_MAX;
  struct Case {
    const char* what;
    std::string source;
    std::vector<ControlTriple> triples;
    std::string diff, extra;
    std::string output;  // written before the failure
  } cases[] = {
      {"triple past the source", "ab", {{3, 0, 0}}, "xyz", "", ""},
      {"second triple past the source", "ab", {{2, 0, -1}, {2, 0, 0}}, std::string(4, '\0'), "",
       "ab"},
      {"triple past the diff block", "abc", {{3, 0, 0}}, std::string(2, '\0'), "", ""},
      {"triple past the extra block", "ab", {{1, 3, 0}}, std::string(1, '\0'), "xy", "a"},
      {"seek past the end", "ab", {{0, 0, 3}}, "", "", ""},
      {"seek before the start", "ab", {{1, 0, -2}, {1, 0, 0}}, std::string(2, '\0'), "", "a"},
      {"seek before the start at once", "ab", {{0, 0, -1}}, "", "", ""},
      {"diff_length at the 32-bit limit", "ab", {{kMax, 0, 0}}, "xy", "", ""},
      {"extra_length at the 32-bit limit", "ab", {{0, kMax, 0}}, "", "xy", ""},
      {"largest forward seek", "ab", {{1, 0, INT32_MAX}}, std::string(1, '\0'), "", "a"},
      {"largest backward seek", "ab", {{2, 0, INT32_MIN}}, std::string(2, '\0'), "", "ab"},
      {"seek that would wrap back into range", "ab", {{2, 0, -3}}, std::string(2, '\0'), "",
       "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PatchParts parts = patch_parts_for(c.source);
    parts.triples = c.triples;
    parts.diff = c.diff;
    parts.extra = c.extra;
    Applied a = apply(c.source, encode_patch(parts));
    EXPECT_EQ(a.rc, ERR_BAD_DATA);
    EXPECT_EQ(a.output, c.output);
  }
}

TEST_F(PatchFilesTest, ControlBlockOfNoWholeTripleIsRefusedBeforeWriting) {
  // control_size 0, and sizes that leave part of a triple: a partial triple
  // would otherwise be decoded from the diff block or past the buffer.
  struct Case {
    uint32_t control_size;
    std::string blocks;
  } cases[] = {
      {0, ""},
      {0, "some diff bytes"},
      {6, std::string(6, '\0')},
      {13, std::string(13, '\0') + "diff"},
      {35, std::string(35, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control_size);
    std::string patch =
        encode_header(2, compute_crc("ab", 2), c.control_size,
                      static_cast<uint32_t>(c.blocks.size() - c.control_size), 0) +
        c.blocks;
    Applied a = apply("ab", patch);
    EXPECT_EQ(a.rc, ERR_BAD_DATA);
    EXPECT_EQ(a.output, "");
  }
}

TEST_F(PatchFilesTest, ReadAndWriteFailuresOfTheApplier) {
  PatchParts parts = patch_parts_for("ab");
  parts.triples = {{2, 1, 0}};
  parts.diff = std::string(2, '\0');
  parts.extra = "c";
  std::string patch = encode_patch(parts);
  write_file(dir / "p", patch);
  PatchHeader header;
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ASSERT_EQ(read_patch_header(fd, &header), OK);

  // The patch ends early: the header promises more than the file holds.
  PatchHeader longer = header;
  longer.extra_size += 5;
  EXPECT_EQ(apply_with(longer, fd, "ab").rc, ERR_BAD_DATA);

  // Read errors: a directory, and a descriptor open only for writing.
  int directory = open(dir.path.c_str(), O_RDONLY);
  EXPECT_EQ(apply_with(header, directory, "ab").rc, ERR_READ);
  close(directory);
  int write_only = open((dir / "p").c_str(), O_WRONLY);
  EXPECT_EQ(apply_with(header, write_only, "ab").rc, ERR_READ);
  close(write_only);

  // Write errors: a full device, and a descriptor open only for reading.
  for (const char* out_path : {"/dev/full", "/dev/null"}) {
    SCOPED_TRACE(out_path);
    lseek(fd, kPatchHeaderSize, SEEK_SET);
    int out = open(out_path, strcmp(out_path, "/dev/full") == 0 ? O_WRONLY : O_RDONLY);
    ASSERT_GE(out, 0);
    EXPECT_EQ(apply_patch(&header, fd, reinterpret_cast<const unsigned char*>("ab"), out),
              ERR_WRITE);
    close(out);
  }
  close(fd);
}

// Runs `body` in a child whose address space is capped, so that a large
// allocation fails for real; the child's exit code is the status.
int with_small_address_space(int (*body)(const char*), const char* arg) {
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit limit = {256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &limit);
    _exit(body(arg));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PatchFilesTest, NoMemoryForTheBlocksOrTheSource) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator does not honour an address-space cap";
  // A sparse 1 GiB file as the source, and a patch whose blocks add up to 1 GiB.
  std::string big = dir / "big";
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
  close(fd);
  write_file(dir / "p", encode_header(1u << 30, 0, 12, (1u << 30) - 12, 0));
  fd = open((dir / "p").c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(ftruncate(fd, 32 + (off_t{1} << 30)), 0);
  close(fd);

  EXPECT_EQ(with_small_address_space(
                [](const char* path) {
                  PatchHeader h{};
                  h.source_size = 1u << 30;
                  int in = open(path, O_RDONLY);
                  unsigned char* data = nullptr;
                  return LoadSourceFile(&h, in, &data);
                },
                big.c_str()),
            ERR_NO_MEMORY);
  EXPECT_EQ(with_small_address_space(
                [](const char* path) {
                  int in = open(path, O_RDONLY);
                  PatchHeader h;
                  if (read_patch_header(in, &h) != OK) return 100;
                  return apply_patch(&h, in, reinterpret_cast<const unsigned char*>(""), 1);
                },
                (dir / "p").c_str()),
            ERR_NO_MEMORY);
}

TEST_F(PatchFilesTest, HeaderReaderAcceptsOnlyAnExactlySizedFile) {
  std::string good = encode_header(256, 7, 12, 3, 4) + std::string(19, 'x');
  std::string wrong_magic = good;
  wrong_magic[7] = '1';
  struct Case {
    const char* what;
    std::string file;
    int rc;
  } cases[] = {
      {"exact size", good, OK},
      {"all blocks empty", encode_header(0, 0, 0, 0, 0), OK},
      {"one byte longer", good + "x", ERR_BAD_DATA},
      {"one byte shorter", good.substr(0, good.size() - 1), ERR_BAD_DATA},
      {"31 bytes", good.substr(0, 31), ERR_READ},
      {"empty file", "", ERR_READ},
      {"last magic byte differs", wrong_magic, ERR_BAD_DATA},
      // 32 + 0xFFFFFFFF + 1 is 32 modulo 2^32: a 32-byte file must not match.
      {"sizes beyond 32 bits", encode_header(0, 0, 0xFFFFFFFFu, 1, 0), ERR_BAD_DATA},
      {"two sizes beyond 32 bits", encode_header(0, 0, 0x80000000u, 0x80000000u, 0),
       ERR_BAD_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir / "p", c.file);
    int fd = open((dir / "p").c_str(), O_RDONLY);
    PatchHeader h;
    EXPECT_EQ(read_patch_header(fd, &h), c.rc);
    if (c.rc == OK) {
      EXPECT_EQ(lseek(fd, 0, SEEK_CUR), kPatchHeaderSize);
    }
    close(fd);
  }
  write_file(dir / "p", good);
  int fd = open((dir / "p").c_str(), O_RDONLY);
  PatchHeader h;
  ASSERT_EQ(read_patch_header(fd, &h), OK);
  close(fd);
  EXPECT_EQ(h.source_size, 256u);  // bytes 00 00 01 00 at offset 8
  EXPECT_EQ(h.source_crc, 7u);
  EXPECT_EQ(h.control_size, 12u);
  EXPECT_EQ(h.diff_size, 3u);
  EXPECT_EQ(h.extra_size, 4u);
  EXPECT_EQ(good.substr(8, 4), bytes({0, 0, 1, 0}));
}

TEST_F(PatchFilesTest, SourceLoaderChecksSizeAndCrc) {
  std::string content(20000, '\0');
  for (size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>(i * 7 + i / 300);
  uint32_t crc = compute_crc(content.data(), content.size());
  std::string changed = content;
  changed[12345] ^= 1;
  struct Case {
    const char* what;
    std::string file;
    uint32_t size, crc;
    int rc;
    const char* log;
  } cases[] = {
      {"matching 20000-byte file", content, 20000, crc, OK, ""},
      {"one byte changed", changed, 20000, crc, ERR_CRC_MISMATCH, "CRC check failed\n"},
      {"one byte longer", content + "x", 20000, crc, ERR_BAD_DATA, ""},
      {"one byte shorter", content.substr(1), 20000, crc, ERR_BAD_DATA, ""},
      {"empty file, CRC 0", "", 0, 0, OK, ""},
      {"empty file, other CRC", "", 0, 1, ERR_CRC_MISMATCH, "CRC check failed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    freopen(log_path.c_str(), "w", log_file);
    write_file(dir / "src", c.file);
    int fd = open((dir / "src").c_str(), O_RDONLY);
    PatchHeader h{};
    h.source_size = c.size;
    h.source_crc = c.crc;
    unsigned char* data = nullptr;
    EXPECT_EQ(LoadSourceFile(&h, fd, &data), c.rc);
    close(fd);
    EXPECT_EQ(log(), c.log);
    // A wrong size is found before anything is allocated.
    EXPECT_EQ(data == nullptr, c.rc == ERR_BAD_DATA);
    if (c.rc == OK) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data), c.size), c.file);
    }
    free(data);
  }
}

TEST_F(PatchFilesTest, SourceLoaderReadFailures) {
  PatchHeader h{};
  unsigned char* data = nullptr;
  // fstat fails on a descriptor that is not open.
  EXPECT_EQ(LoadSourceFile(&h, -1, &data), ERR_READ);
  EXPECT_EQ(data, nullptr);

  // A directory of the right size: the reads fail.
  int directory = open(dir.path.c_str(), O_RDONLY);
  struct stat st;
  fstat(directory, &st);
  ASSERT_GT(st.st_size, 0) << "a directory of size 0 cannot stand for an unreadable file";
  h.source_size = static_cast<uint32_t>(st.st_size);
  EXPECT_EQ(LoadSourceFile(&h, directory, &data), ERR_READ);
  close(directory);
  free(data);
  data = nullptr;

  // A file that ends before its reported size (sysfs reports a page).
  const char* short_file = "/sys/kernel/mm/transparent_hugepage/enabled";
  int fd = open(short_file, O_RDONLY);
  if (fd < 0) GTEST_SKIP() << short_file << " is not available";
  fstat(fd, &st);
  h.source_size = static_cast<uint32_t>(st.st_size);
  EXPECT_EQ(LoadSourceFile(&h, fd, &data), ERR_BAD_DATA);
  close(fd);
  free(data);
  EXPECT_EQ(log(), "");
}

}  // namespace
