// Whole trees through make-update and the updater: files, directories and
// symbolic links (mode 0), every kind of change between two releases, applied
// to a copy of OLD; and what a failed run gives back.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Every kind of change a release makes to a tree. "zz-new-empty" sorts last,
// so its mkdir is the package's last line.
const std::vector<TreeFile> kOld = {
    {"lib/libfoo.so.1.2.3", "library 1.2.3", 0755}, {"lib/libfoo.so.1", "libfoo.so.1.2.3", 0},
    {"bin/app", "../lib/libfoo.so.1.2.3", 0}, {"bin/old-link", "app", 0}, {"bin/dangling", "nowhere", 0},
    {"bin/old-lib-dir", "../lib", 0}, {"share/old-empty/", "", 0755}, {"gone/a", "a"}, {"gone/sub/b", "b", 0600},
    {"gone/sub/deeper/", "", 0755}, {"dir-to-file/x", "x"}, {"dir-to-link/x", "x"}, {"file-to-dir", "was a file", 0600},
    {"file-to-link", "was a file"}, {"link-to-file", "../outside/secret", 0}, {"link-to-dir", "lib", 0},
    {"mode-only", "same bytes"}, {"share/private/", "", 0755},
};
const std::vector<TreeFile> kNew = {
    {"lib/libfoo.so.1.2.3", "library 1.2.3", 0755}, {"lib/libfoo.so.1", "libfoo.so.1.2.3", 0},
    {"lib/libfoo.so.1.2.4", "library 1.2.4", 0755}, {"bin/app", "../lib/libfoo.so.1.2.4", 0},
    {"bin/new-link", "../lib/libfoo.so.1", 0}, {"bin/dangling", "nowhere", 0},
    {"bin/new-dangling", "/nonexistent/updater-test", 0}, {"bin/lib-dir", "../lib", 0}, {"share/new-empty/", "", 0755},
    {"dir-to-file", "now a file"}, {"dir-to-link", "lib", 0}, {"file-to-dir/inside", "in the new directory"},
    {"file-to-link", "lib/libfoo.so.1", 0}, {"link-to-file", "now a file"}, {"link-to-dir/x", "x"},
    {"mode-only", "same bytes", 0755}, {"share/private/", "", 0700}, {"zz-new-empty/", "", 0750},
};

struct Case {
  const char* name;
  std::vector<TreeFile> user;  // put into the copy of OLD before the run
  const char* status;
  bool ends_as_new;     // else: every OLD path as it was
  std::string log_has;  // a line the log must hold
};

TEST(WholeTrees, PackageOfEveryKindOfChangeAppliesAndFailsBackToOld) {
  TempDir dir;
  plant_tree(dir / "old", kOld);
  plant_tree(dir / "new", kNew);
  write_file(dir / "outside/secret", "outside the installation");
  RunResult r = run_tool("make-update", {dir / "old", dir / "new", dir / "out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(run_tool("zav", {"extract", dir / "out/update.zav", "update.manifest", dir / "manifest"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "manifest"),
            "# Made by make-update: 29 changes.\nremove \"bin/old-lib-dir\"\nremove \"bin/old-link\"\n"
            "remove \"dir-to-file/x\"\nremove \"dir-to-link/x\"\nremove \"file-to-dir\"\nremove \"gone/a\"\n"
            "remove \"gone/sub/b\"\nremove \"link-to-dir\"\nrmdir \"share/old-empty\"\nrmdir \"gone/sub/deeper\"\n"
            "rmdir \"gone/sub\"\nrmdir \"gone\"\nrmdir \"dir-to-link\"\nrmdir \"dir-to-file\"\n"
            "link \"bin/app\" \"../lib/libfoo.so.1.2.4\"\nlink \"bin/lib-dir\" \"../lib\"\n"
            "link \"bin/new-dangling\" \"/nonexistent/updater-test\"\nlink \"bin/new-link\" \"../lib/libfoo.so.1\"\n"
            "add \"dir-to-file\"\nlink \"dir-to-link\" \"lib\"\nadd \"file-to-dir/inside\"\n"
            "link \"file-to-link\" \"lib/libfoo.so.1\"\nadd \"lib/libfoo.so.1.2.4\"\nadd \"link-to-dir/x\"\n"
            "add \"link-to-file\"\nadd \"mode-only\"\nmkdir \"share/new-empty\"\nmkdir \"share/private\" \"0700\"\n"
            "mkdir \"zz-new-empty\" \"0750\"\n");

  const Case cases[] = {
      {"applied to OLD", {}, "succeeded\n", true, "FINISH MKDIR zz-new-empty\n"},
      // A file where the last line's directory goes fails that line.
      {"failed at the last line", {{"zz-new-empty", "in the way"}}, "failed: 7\n", false,
       "a file stands where the directory goes: zz-new-empty\n"},
      // The second file has the backup name of "dir-to-link/x" as seen
      // through the new link: the run must not reach it through that link.
      {"user's files in a directory that goes and behind a new link",
       {{"gone/sub/mine.txt", "the user's own"}, {"lib/x.kiv-backup", "the user's own"}}, "succeeded\n", true,
       "directory not empty, left in place: gone/sub\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir run;
    ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "old", run / "install"}).exit_code, 0);
    ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "out", run / "update"}).exit_code, 0);
    plant_tree(run / "install", c.user);
    run_updater(run / "install", run / "update");
    std::string log = read_file(run / "update/update.log");
    EXPECT_EQ(read_file(run / "update/update.status"), c.status) << log;
    EXPECT_NE(log.find(c.log_has), std::string::npos) << log;
    // A failed run may leave what it newly created, nothing else.
    Tree expected = snapshot_tree(c.ends_as_new ? dir / "new" : dir / "old"), actual = snapshot_tree(run / "install");
    for (const auto& [path, node] : tree_of(c.user)) expected[path] = node;
    for (auto it = actual.begin(); !c.ends_as_new && it != actual.end();) {
      it = expected.count(it->first) != 0 || it->first.find(".kiv-backup") != std::string::npos ? std::next(it)
                                                                                                : actual.erase(it);
    }
    EXPECT_EQ(tree_diff(expected, actual), "") << log;
    EXPECT_EQ(read_file(dir / "outside/secret"), "outside the installation");
  }
}

}  // namespace
