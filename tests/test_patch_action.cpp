// The patch and patch-if lines through the real updater: installed files,
// the log, the status file and the update directory, byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/patch_builder.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char kEnd[] = "calling QuitProgressUI\n";

struct PatchActionTest : ::testing::Test {
  TempDir root;
  std::string install = root / "install";
  std::string updates = root / "updates";
  PatchActionTest() {
    make_dirs(install);
    make_dirs(updates);
  }
  // The log after its first line, which says that the package was not verified.
  std::string log() {
    std::string text = read_file(updates + "/update.log");
    EXPECT_EQ(text.compare(0, sizeof kUnverifiedLine - 1, kUnverifiedLine), 0) << text;
    return text.substr(std::min(text.size(), sizeof kUnverifiedLine - 1));
  }
  std::string status() { return read_file(updates + "/update.status"); }
  // The update directory's names besides the package and the manifest.
  std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    for (const auto& [name, node] : snapshot_tree(updates)) {
      if (name != "update.zav" && name != "update.manifest" && name != "update.log" &&
          name != "update.status") {
        names.push_back(name);
      }
    }
    return names;
  }
  RunResult run(RunOptions options = {}) { return run_updater(install, updates, {}, options); }
};

std::string bytes_of_system_binary() {
  for (const char* candidate : {"/bin/ls", "/usr/bin/ls", "/bin/sh"}) {
    std::string content = read_file(candidate);
    if (content.size() > 20000) return content;
  }
  return std::string(50000, 'x');
}

// A patch of several triples over a real binary: bytes changed in place, a
// run inserted, a run skipped, a tail appended. The expected result is built
// with plain string operations.
TEST_F(PatchActionTest, PatchesACopyOfASystemBinary) {
  std::string old_content = bytes_of_system_binary();
  const uint32_t n = static_cast<uint32_t>(old_content.size());
  std::string changed = old_content.substr(1000, 1000);
  for (size_t i = 0; i < changed.size(); i += 97) changed[i] = static_cast<char>(changed[i] ^ 0x5A);
  std::string expected = old_content.substr(0, 1000) + "INSERTED" + changed +
                         old_content.substr(3000) + "TAIL";

  PatchParts parts = patch_parts_for(old_content);
  parts.triples = {{1000, 8, 0}, {1000, 0, 1000}, {n - 3000, 4, 0}};
  std::string diff(1000, '\0');
  for (size_t i = 0; i < changed.size(); i++) {
    diff.push_back(static_cast<char>(changed[i] - old_content[1000 + i]));
  }
  diff.append(n - 3000, '\0');
  parts.diff = diff;
  parts.extra = "INSERTED" "TAIL";
  write_file(install + "/bin/app", old_content, 0755);
  make_update(updates, "patch \"bin/app.patch\" \"bin/app\"\n",
              {{"bin/app.patch", encode_patch(parts)}});

  RunResult r = run();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(status(), "succeeded\n");
  EXPECT_EQ(log(), std::string("PREPARE PATCH bin/app\nEXECUTE PATCH bin/app\n"
                               "FINISH PATCH bin/app\nsucceeded\n") + kEnd);
  Tree want = {{"bin", {'d', 0755, ""}}, {"bin/app", {'f', 0755, expected}}};
  EXPECT_EQ(tree_diff(want, snapshot_tree(install)), "");
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Temporary files are numbered in the order of Prepare, a disabled patch-if
// takes no number, and every used one is gone after the run: files planted
// under the numbers 0 to 2 show which ones the run used.
TEST_F(PatchActionTest, PatchLinesUseNumberedTemporaryFilesThatAreRemoved) {
  write_file(install + "/a", "alpha");
  write_file(install + "/b", "beta");
  for (const char* name : {"0.patch", "1.patch", "2.patch"}) write_file(updates + "/" + name, "old");
  make_update(updates,
              "patch \"a.patch\" \"a\"\n"
              "patch-if \"no-such-guard\" \"b.patch\" \"b\"\n"
              "patch \"b.patch\" \"b\"\n",
              {{"a.patch", make_patch("alpha", "ALPHA")}, {"b.patch", make_patch("beta", "BETA!")}});
  run();
  EXPECT_EQ(status(), "succeeded\n");
  EXPECT_EQ(log(), std::string("PREPARE PATCH a\nPREPARE PATCH b\nEXECUTE PATCH a\n"
                               "EXECUTE PATCH b\nFINISH PATCH a\nFINISH PATCH b\nsucceeded\n") +
                       kEnd);
  EXPECT_EQ(read_file(install + "/a"), "ALPHA");
  EXPECT_EQ(read_file(install + "/b"), "BETA!");
  EXPECT_EQ(leftovers(), std::vector<std::string>{"2.patch"});
  EXPECT_EQ(read_file(updates + "/2.patch"), "old");
}

TEST_F(PatchActionTest, PatchIfActsOnlyWhenItsGuardExists) {
  struct Case {
    bool guard;
    const char* content;
    const char* log;
  } cases[] = {
      {true, "NEW", "PREPARE PATCH lib/x\nEXECUTE PATCH lib/x\nFINISH PATCH lib/x\nsucceeded\n"},
      {false, "old", "succeeded\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.guard);
    write_file(install + "/lib/x", "old");
    unlink((install + "/lib/guard").c_str());
    if (c.guard) write_file(install + "/lib/guard", "");
    make_update(updates, "patch-if \"lib/guard\" \"x.patch\" \"lib/x\"\n",
                {{"x.patch", make_patch("old", "NEW")}});
    run();
    EXPECT_EQ(status(), "succeeded\n");
    EXPECT_EQ(log(), std::string(c.log) + kEnd);
    EXPECT_EQ(read_file(install + "/lib/x"), c.content);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

// Every check of the patch and of the installed file fails in Prepare: the
// valid patch line before the bad one changes nothing either.
TEST_F(PatchActionTest, PrepareFailuresTouchNothing) {
  std::string patch_for_a = make_patch("content of a", "new content");
  std::string bad_magic = patch_for_a;
  bad_magic[0] = 'X';
  struct Case {
    const char* what;
    const char* line;
    std::string patch;
    int code;
    const char* log;
  } cases[] = {
      {"CRC mismatch", "patch \"a.patch\" \"a\"", make_patch("CONTENT OF A", "x"), 4,
       "PREPARE PATCH a\nCRC check failed\nLoadSourceFile failed\n"},
      {"wrong size", "patch \"a.patch\" \"a\"", make_patch("content of a!", "x"), 8,
       "PREPARE PATCH a\nLoadSourceFile failed\n"},
      {"installed file missing", "patch \"a.patch\" \"missing\"", patch_for_a, 6,
       "PREPARE PATCH missing\n"},
      {"entry missing", "patch \"other.patch\" \"a\"", patch_for_a, 6, "PREPARE PATCH a\n"},
      {"wrong magic", "patch \"a.patch\" \"a\"", bad_magic, 8, "PREPARE PATCH a\n"},
      {"patch shorter than a header", "patch \"a.patch\" \"a\"", patch_for_a.substr(0, 31), 6,
       "PREPARE PATCH a\n"},
      {"patch one byte short", "patch \"a.patch\" \"a\"",
       patch_for_a.substr(0, patch_for_a.size() - 1), 8, "PREPARE PATCH a\n"},
      {"patch one byte long", "patch \"a.patch\" \"a\"", patch_for_a + "x", 8,
       "PREPARE PATCH a\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(install + "/a", "content of a", 0640);
    write_file(install + "/b", "content of b", 0755);
    Tree before = snapshot_tree(install);
    make_update(updates, std::string("patch \"b.patch\" \"b\"\n") + c.line + "\n",
                {{"b.patch", make_patch("content of b", "patched b")}, {"a.patch", c.patch}});
    run();
    std::string failed = "failed: " + std::to_string(c.code) + "\n";
    EXPECT_EQ(status(), failed);
    EXPECT_EQ(log(), "PREPARE PATCH b\n" + std::string(c.log) + failed + kEnd);
    EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

// Patches that pass every Prepare check but are malformed inside: the run
// fails in Execute and the Finish phase restores every earlier change.
TEST_F(PatchActionTest, MalformedPatchLateInARunRestoresEveryEarlierChange) {
  const std::string c_old = "content of c";
  auto bad_patch = [&](std::vector<ControlTriple> triples, std::string diff, std::string extra) {
    PatchParts parts = patch_parts_for(c_old);
    parts.triples = std::move(triples);
    parts.diff = std::move(diff);
    parts.extra = std::move(extra);
    return encode_patch(parts);
  };
  std::string no_triple = encode_header(12, compute_crc(c_old.data(), 12), 0, 3, 0) + "abc";
  std::string partial_triple =
      encode_header(12, compute_crc(c_old.data(), 12), 13, 0, 0) + std::string(13, '\0');
  struct Case {
    const char* what;
    std::string patch;
  } cases[] = {
      {"past the source", bad_patch({{13, 0, 0}}, std::string(13, '\0'), "")},
      {"past the diff block", bad_patch({{5, 0, 0}}, std::string(4, '\0'), "")},
      {"past the extra block", bad_patch({{2, 5, 0}}, std::string(2, '\0'), "abcd")},
      {"seek past the end", bad_patch({{2, 1, 11}}, std::string(2, '\0'), "x")},
      {"seek before the start", bad_patch({{2, 0, -3}, {1, 0, 0}}, std::string(3, '\0'), "")},
      {"length that would wrap a bound", bad_patch({{1, 0, 0}, {0xFFFFFFFFu, 0, 0}},
                                                   std::string(2, '\0'), "")},
      {"control block without a triple", no_triple},
      {"control block with a partial triple", partial_triple},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(install + "/a", "content of a", 0755);
    write_file(install + "/d/b", "content of b", 0600);
    write_file(install + "/c", c_old, 0644);
    Tree before = snapshot_tree(install);
    make_update(updates,
                "patch \"a.patch\" \"a\"\npatch \"b.patch\" \"d/b\"\npatch \"c.patch\" \"c\"\n",
                {{"a.patch", make_patch("content of a", "A")},
                 {"b.patch", make_patch("content of b", "a much longer new content of b")},
                 {"c.patch", c.patch}});
    run();
    EXPECT_EQ(status(), "failed: 8\n");
    EXPECT_EQ(log(), std::string("PREPARE PATCH a\nPREPARE PATCH d/b\nPREPARE PATCH c\n"
                                 "EXECUTE PATCH a\nEXECUTE PATCH d/b\nEXECUTE PATCH c\n"
                                 "### execution failed\n"
                                 "FINISH PATCH a\nFINISH PATCH d/b\nFINISH PATCH c\n"
                                 "failed: 8\n") +
                         kEnd);
    EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

// Both patches are made for the content from before the run. On success the
// second one's result stays; on failure the pre-run content comes back, not
// the first patch's result.
TEST_F(PatchActionTest, FilePatchedTwiceInOneRun) {
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail);
    write_file(install + "/a", "original", 0644);
    write_file(install + "/z", "zzz", 0644);
    PatchParts broken = patch_parts_for("zzz");
    broken.triples = {{4, 0, 0}};
    broken.diff = std::string(4, '\0');
    std::string manifest = "patch \"one\" \"a\"\npatch \"two\" \"a\"\n";
    if (fail) manifest += "patch \"broken\" \"z\"\n";
    make_update(updates, manifest,
                {{"one", make_patch("original", "first")},
                 {"two", make_patch("original", "second result")},
                 {"broken", encode_patch(broken)}});
    run();
    EXPECT_EQ(status(), fail ? "failed: 8\n" : "succeeded\n");
    EXPECT_EQ(read_file(install + "/a"), fail ? "original" : "second result");
    EXPECT_EQ(read_file(install + "/z"), "zzz");
    EXPECT_FALSE(exists(install + "/a.kiv-backup"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

TEST_F(PatchActionTest, PatchedFileKeepsItsModeUnderTheCreationMask) {
  struct Case {
    mode_t before, after;
  } cases[] = {{0755, 0755}, {0640, 0640}, {0600, 0600}, {0777, 0755}, {0444, 0444}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    write_file(install + "/f", "old", c.before);
    make_update(updates, "patch \"f.patch\" \"f\"\n", {{"f.patch", make_patch("old", "new")}});
    RunOptions options;
    options.umask_value = 022;
    run(options);
    EXPECT_EQ(status(), "succeeded\n");
    EXPECT_EQ(read_file(install + "/f"), "new");
    EXPECT_EQ(file_mode(install + "/f"), c.after);
  }
}

TEST_F(PatchActionTest, SymbolicLinkBecomesARegularFile) {
  write_file(install + "/lib/real.so", "library v1", 0755);
  ASSERT_EQ(symlink("real.so", (install + "/lib/link.so").c_str()), 0);
  make_update(updates, "patch \"p\" \"lib/link.so\"\n",
              {{"p", make_patch("library v1", "library v2")}});
  run();
  EXPECT_EQ(status(), "succeeded\n");
  Tree want = {{"lib", {'d', 0755, ""}},
               {"lib/real.so", {'f', 0755, "library v1"}},
               {"lib/link.so", {'f', 0755, "library v2"}}};
  EXPECT_EQ(tree_diff(want, snapshot_tree(install)), "");
}

TEST_F(PatchActionTest, MalformedLinesAndUnsafeTargetsAreSyntaxErrors) {
  std::string long_path = std::string(500, 'd') + "/" + std::string(512, 'f');  // 1013 bytes
  struct Case {
    std::string line;
    std::string log;  // before "bad manifest line"
  } cases[] = {
      {"patch \"a.patch\"", ""},
      {"patch \"a.patch\"\"a\"", ""},
      {"patch \"a.patch\" a", ""},
      {"patch", ""},
      {"patch ", ""},
      {"patch-if \"g\" \"a.patch\"", ""},
      {"patch-if \"g\"", ""},
      {"patch-if \"g\"\"a.patch\" \"a\"", ""},
      {"patch \"a.patch\" \"/etc/passwd\"", "unsafe path refused: /etc/passwd\n"},
      {"patch \"a.patch\" \"../outside\"", "unsafe path refused: ../outside\n"},
      {"patch \"a.patch\" \"lib/../../outside\"", "unsafe path refused: lib/../../outside\n"},
      {"patch-if \"g\" \"a.patch\" \"/tmp/x\"", "unsafe path refused: /tmp/x\n"},
      {"patch \"a.patch\" \"" + long_path + "\"",
       "path too long for its backup name, refused: " + long_path + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    write_file(install + "/a", "old");
    write_file(install + "/g", "");
    Tree before = snapshot_tree(install);
    make_update(updates, "patch \"a.patch\" \"a\"\n" + c.line + "\n",
                {{"a.patch", make_patch("old", "new")}});
    run();
    EXPECT_EQ(status(), "failed: 5\n");
    // The reader shows at most 1023 bytes of a line.
    EXPECT_EQ(log(), c.log + "bad manifest line: " + c.line.substr(0, 1023) + "\nfailed: 5\n" + kEnd);
    EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

TEST_F(PatchActionTest, LastArgumentWithoutClosingQuoteRunsToTheEndOfTheLine) {
  write_file(install + "/a b", "old");
  make_update(updates, "patch \"a.patch\" \"a b\n", {{"a.patch", make_patch("old", "new")}});
  run();
  EXPECT_EQ(status(), "succeeded\n");
  EXPECT_EQ(read_file(install + "/a b"), "new");
}

// A backup that cannot be written stops the run in Execute, before the
// installed file is touched. Root could write anywhere, so the run drops
// its privileges.
TEST_F(PatchActionTest, BackupThatCannotBeMadeFailsBeforeTheFileIsTouched) {
  uid_t uid = unprivileged_uid();
  if (uid == 0) GTEST_SKIP() << "no unprivileged user";
  write_file(install + "/a", "old", 0644);
  make_update(updates, "patch \"a.patch\" \"a\"\n", {{"a.patch", make_patch("old", "new")}});
  chmod(updates.c_str(), 0777);
  chmod(install.c_str(), 0555);
  Tree before = snapshot_tree(install);
  RunOptions options;
  options.uid = uid;
  run(options);
  chmod(install.c_str(), 0755);
  EXPECT_EQ(status(), "failed: 7\n");
  EXPECT_EQ(log(), std::string("PREPARE PATCH a\nEXECUTE PATCH a\n"
                               "copy_file: failed to open: a.kiv-backup,13\n"
                               "### execution failed\nFINISH PATCH a\n"
                               "copy_file: failed to open or stat: -1,a.kiv-backup,2\n"
                               "failed: 7\n") +
                       kEnd);
  EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
