// zqdiff and zqpatch: patches made from real binaries and hand-made edge
// cases turn OLD into NEW byte for byte, compress as well as they should,
// and bad input gives a clear message and exit code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/byte_order.h"
#include "archive/writer.h"
#include "base/status.h"
#include "patch/patch_format.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// A program of this machine, the realistic input of the tools.
std::string system_file(const std::string& path) {
  std::string s = read_file(path);
  EXPECT_FALSE(s.empty()) << path;
  return s;
}

// What a new release does to a binary: scattered changed words, a few
// bytes inserted, a stretch removed.
std::string edited(std::string s) {
  for (size_t i = 100; i + 4 < s.size(); i += 997) s[i] = static_cast<char>(s[i] + 7);
  s.insert(s.size() / 3, "inserted by the new version");
  s.erase(s.size() / 2, std::min<size_t>(3000, s.size() / 10));
  return s;
}

RunResult run_tool(const std::string& name, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tool_bin(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

TEST(Zqdiff, PatchesTurnOldIntoNewByteForByte) {
  std::string bash = system_file("/bin/bash");
  std::string ls = system_file("/bin/ls");
  std::string a = random_bytes(40000, 1), b = random_bytes(40000, 2), c = random_bytes(40000, 3);
  std::string page = random_bytes(8192, 4);
  // Every other byte agrees at the natural alignment (text in a 16-bit
  // encoding): a score that neither grows nor falls must not stall the scan.
  std::string wide_old = random_bytes(1 << 20, 5), wide_new = random_bytes(1 << 20, 6);
  for (size_t i = 0; i < wide_old.size(); i += 2) wide_old[i] = wide_new[i] = 0;
  struct Case {
    const char* name;
    std::string old_data;
    std::string new_data;
    double max_ratio;  // compressed patch / compressed NEW; 0: not checked
  };
  std::vector<Case> cases = {
      {"both empty", "", "", 0},
      {"empty old", "", ls, 0},
      {"empty new", ls, "", 0},
      {"identical binary", bash, bash, 0.002},
      {"edited binary", bash, edited(bash), 0.05},
      {"different programs", ls, system_file("/bin/cp"), 0},
      {"completely different", a, b, 0},
      {"block moved", a + b + c, a + c + b, 0.01},
      // Shared blocks found at odd offsets, one of them twice, and zero runs.
      {"shifted, a block twice", a + std::string(5000, 0) + b,
       "x" + a + b.substr(0, 3000) + std::string(9000, 0) + b, 0.01},
      {"NEW begins with the middle of OLD", a + b, b + c, 0},
      {"one byte", "x", "y", 0},
      {"8 KiB less one", page.substr(0, 8191), page.substr(0, 8191) + "z", 0},
      {"8 KiB", page, edited(page), 0},
      {"8 KiB and one", page + "q", "q" + page, 0.1},
      {"every other byte agrees", wide_old, wide_new, 0},
      {"repetitive", std::string(100000, 'a'), std::string(150000, 'a') + "b", 0},
  };
  TempDir dir;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    write_file(dir / "old", k.old_data, 0751);
    write_file(dir / "new", k.new_data);
    RunResult r = run_tool("zqdiff", {dir / "old", dir / "new", dir / "patch"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string patch = read_file(dir / "patch");
    ASSERT_GE(patch.size(), size_t{kPatchHeaderSize + kControlTripleSize});
    const unsigned char* h = reinterpret_cast<const unsigned char*>(patch.data());
    EXPECT_EQ(patch.substr(0, 8), "ZQDIFF10");
    EXPECT_EQ(load_be32(h + 8), k.old_data.size());
    EXPECT_EQ(load_be32(h + 12), compute_crc(k.old_data.data(), k.old_data.size()));
    EXPECT_EQ(load_be32(h + 16), k.new_data.size());
    EXPECT_EQ(load_be32(h + 20) % kControlTripleSize, 0u);
    EXPECT_EQ(patch.size(), kPatchHeaderSize + uint64_t{load_be32(h + 20)} + load_be32(h + 24) +
                                load_be32(h + 28));
    // Stored with a compression block per patch block (and one more inside
    // the diff block), the entry must still read back as the same bytes.
    size_t diff_start = kPatchHeaderSize + load_be32(h + 20);
    size_t cuts[] = {diff_start, diff_start + load_be32(h + 24) / 2,
                     diff_start + load_be32(h + 24)};
    PackageWriter writer;
    ASSERT_EQ(package_writer_open(&writer, (dir / "p.zav").c_str()), OK);
    ASSERT_EQ(package_writer_add_buffer(&writer, "p", patch.data(), patch.size(), 0644, cuts, 3),
              OK);
    ASSERT_EQ(package_writer_finish(&writer), OK);
    ASSERT_EQ(run_tool("zav", {"extract", dir / "p.zav", "p", dir / "p.out"}).exit_code, 0);
    EXPECT_TRUE(read_file(dir / "p.out") == patch);
    unlink((dir / "p.out").c_str());
    if (k.max_ratio > 0) {
      double ratio =
          static_cast<double>(bzip2_compressed_size(patch.data(), patch.size(), cuts, 3)) /
          static_cast<double>(bzip2_compressed_size(k.new_data.data(), k.new_data.size()));
      EXPECT_LE(ratio, k.max_ratio);
    }
    unlink((dir / "result").c_str());
    r = run_tool("zqpatch", {dir / "old", dir / "result", dir / "patch"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(dir / "result") == k.new_data);
    EXPECT_EQ(file_mode(dir / "result"), 0751u);  // OLD's mode, as the updater keeps it
  }
}

TEST(Zqdiff, BadInputFailsWithAMessage) {
  TempDir dir;
  write_file(dir / "a", "a");
  make_dirs(dir / "sub");
  // Sparse: refused by its size before a byte of it is read.
  write_file(dir / "huge", "");
  ASSERT_EQ(truncate((dir / "huge").c_str(), off_t{1} << 31), 0);
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    const char* message;
  };
  std::vector<Case> cases = {
      {{}, 2, "usage: zqdiff"},
      {{dir / "a", dir / "a"}, 2, "usage: zqdiff"},
      {{dir / "missing", dir / "a", dir / "p"}, 1, "missing: cannot read it"},
      {{dir / "a", dir / "sub", dir / "p"}, 1, "sub: cannot read it"},
      {{dir / "a", dir / "a", dir / "nodir/p"}, 1, "nodir/p: cannot write the patch"},
      {{dir / "huge", dir / "a", dir / "p"}, 1, "huge: files of 2 GiB or more cannot be patched"},
      {{dir / "a", dir / "huge", dir / "p"}, 1, "huge: files of 2 GiB or more cannot be patched"},
  };
  for (const Case& k : cases) {
    RunResult r = run_tool("zqdiff", k.args);
    EXPECT_EQ(r.exit_code, k.exit_code) << r.err;
    EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(exists(dir / "p"));
  // make-update refuses such a file by its size too, before reading it.
  make_dirs(dir / "old");
  make_dirs(dir / "new");
  ASSERT_EQ(rename((dir / "huge").c_str(), (dir / "old/f").c_str()), 0);
  write_file(dir / "new/f", "a");
  RunResult made = run_tool("make-update", {dir / "old", dir / "new", dir / "out"});
  EXPECT_EQ(made.exit_code, 1);
  EXPECT_NE(made.err.find("old/f: files of 2 GiB or more cannot be patched"), std::string::npos)
      << made.err;
  EXPECT_EQ(made.err.find("must stay below"), std::string::npos) << made.err;  // said once
  RunResult help = run_tool("zqdiff", {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.find("usage: zqdiff"), 0u);
  EXPECT_EQ(help.err, "");

  // --verbose names every stage with its time and the peak memory.
  RunResult r = run_tool("zqdiff", {"--verbose", dir / "a", dir / "a", dir / "p"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* stage : {"read", "suffix sort", "match search", "encode", "write"})
    EXPECT_NE(r.err.find(std::string("zqdiff: ") + stage), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("peak memory"), std::string::npos);
  EXPECT_NE(r.err.find("45 bytes, "), std::string::npos) << r.err;  // and the sizes
}

TEST(Zqpatch, WrongSourceAndMalformedPatchesAreRefused) {
  TempDir dir;
  std::string old_data = random_bytes(20000, 7);
  std::string new_data = edited(old_data);
  write_file(dir / "old", old_data);
  write_file(dir / "new", new_data);
  ASSERT_EQ(run_tool("zqdiff", {dir / "old", dir / "new", dir / "patch"}).exit_code, 0);
  std::string patch = read_file(dir / "patch");

  std::string changed_byte = old_data;
  changed_byte[5000] ^= 1;
  std::string bad_magic = patch;
  bad_magic[7] = '1';
  // Hand-written: one triple whose diff run reaches past the 3-byte OLD.
  std::string beyond("ZQDIFF10", 8);
  auto be = [](uint32_t v) {
    unsigned char b[4];
    store_be32(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
  };
  beyond += be(3) + be(compute_crc("abc", 3)) + be(4) + be(12) + be(4) + be(0);
  beyond += be(4) + be(0) + be(0) + std::string(4, '\0');

  struct Case {
    const char* name;
    std::string source;
    std::string patch;
    int exit_code;
    const char* message;
  };
  std::vector<Case> cases = {
      {"other file", "not the old file", patch, 3, "wrong file: 16 bytes, the patch is for 20000"},
      {"one byte changed", changed_byte, patch, 3, "its CRC is not the one"},
      {"truncated patch", old_data, patch.substr(0, patch.size() - 1), 4, "wrong magic or block"},
      {"short patch", old_data, patch.substr(0, 31), 4, "shorter than its header"},
      {"bad magic", old_data, bad_magic, 4, "wrong magic"},
      {"triple past OLD", "abc", beyond, 4, "malformed patch"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    write_file(dir / "src", k.source);
    write_file(dir / "p", k.patch);
    RunResult r = run_tool("zqpatch", {dir / "src", dir / "out", dir / "p"});
    EXPECT_EQ(r.exit_code, k.exit_code) << r.err;
    EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "out"));  // nothing half-written is left
  }
}

}  // namespace
