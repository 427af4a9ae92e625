// Corners of make_parent_dirs, copy_file and the backup record that are hard
// to reach through the updater: the path strings, the partial-destination
// flag, and concluding backups that are not there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "actions/backup.h"
#include "actions/file_utils.h"
#include "base/log.h"
#include "base/status.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// Runs in a fresh current directory (the functions take relative paths), with
// the log open and the creation mask at 022.
struct FileUtilsTest : ::testing::Test {
  TempDir dir, log_dir;
  std::string old_cwd;
  mode_t old_mask;
  FileUtilsTest() {
    char buffer[4096];
    old_cwd = getcwd(buffer, sizeof buffer);
    EXPECT_EQ(chdir(dir.path.c_str()), 0);
    old_mask = umask(022);
    log_file = fopen((log_dir / "log").c_str(), "w");
    backup_record_reset();
  }
  ~FileUtilsTest() override {
    fclose(log_file);
    log_file = nullptr;
    umask(old_mask);
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
    backup_record_reset();
  }
  std::string log() { return read_file(log_dir / "log"); }
  Tree tree() { return snapshot_tree(dir.path); }
};

TEST_F(FileUtilsTest, MakeParentDirsLeavesThePathAsItWas) {
  struct Case {
    const char* path;
    int result;
    std::vector<TreeFile> after;
  } cases[] = {
      {"a/b/c.txt", OK, {{"a/b/", "", 0755}}},
      {"c.txt", OK, {}},
      {"f/c.txt", OK, {{"f", "file"}}},         // EEXIST counts, whatever f is
      {"f/b/c.txt", ERR_WRITE, {{"f", "file"}}},  // ENOTDIR under the file
      {"/abs/c.txt", ERR_WRITE, {}},            // the empty outermost prefix
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TempDir fresh;
    ASSERT_EQ(chdir(fresh.path.c_str()), 0);
    write_file("f", "file");
    char path[64];
    snprintf(path, sizeof path, "%s", c.path);
    EXPECT_EQ(make_parent_dirs(path), c.result);
    EXPECT_STREQ(path, c.path);
    std::vector<TreeFile> after = c.after;
    after.push_back({"f", "file"});
    EXPECT_EQ(tree_diff(tree_of(after), snapshot_tree(fresh.path)), "");
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
}

TEST_F(FileUtilsTest, CopyFileCopiesContentAndModeIntoANewFile) {
  std::string big(20000, 'x');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7);
  write_file("big", big, 0750);
  write_file("empty", "", 0604);
  write_file("exists", "old content that is longer", 0600);
  char to_new[] = "out/big", to_empty[] = "out/empty", to_existing[] = "exists";
  EXPECT_EQ(copy_file("big", to_new), OK);
  EXPECT_EQ(copy_file("empty", to_empty), OK);
  EXPECT_EQ(copy_file("big", to_existing), OK);
  EXPECT_STREQ(to_new, "out/big");
  EXPECT_EQ(tree_diff(tree_of({{"big", big, 0750},
                               {"empty", "", 0604},
                               {"exists", big, 0750},
                               {"out/big", big, 0750},
                               {"out/empty", "", 0604}}),
                      tree()),
            "");
  EXPECT_EQ(log(), "");
}

TEST_F(FileUtilsTest, CopyFileTellsWhetherItTouchedTheDestination) {
  write_file("dir/inner", "x");
  bool touched = true;
  char missing_dst[] = "a/b/dst", dir_dst[] = "from-dir";
  // A missing source: the destination's directories are made, the file not.
  EXPECT_EQ(copy_file_tracked("a/x", missing_dst, &touched), ERR_READ);
  EXPECT_FALSE(touched);
  // A directory opens, but fails at the first read: a partial destination.
  EXPECT_EQ(copy_file_tracked("dir", dir_dst, &touched), ERR_READ);
  EXPECT_TRUE(touched);
  EXPECT_EQ(log(),
            "copy_file: failed to open or stat: -1,a/x,2\n"
            "copy_file: failed to read: 21\n");
  EXPECT_EQ(tree_diff(tree_of({{"dir/inner", "x"}, {"a/b/", "", 0755}, {"from-dir", "", 0755}}), tree()),
            "");
}

TEST_F(FileUtilsTest, ConcludingABackupThatIsNotThere) {
  write_file("bin/app", "app", 0755);
  char path[] = "bin/app";
  EXPECT_EQ(backup_conclude(path, OK), -1);
  EXPECT_EQ(log(), "");
  EXPECT_EQ(backup_conclude(path, ERR_WRITE), ERR_READ);
  EXPECT_EQ(log(), "copy_file: failed to open or stat: -1,bin/app.kiv-backup,2\n");
  EXPECT_EQ(tree_diff(tree_of({{"bin/app", "app", 0755}}), tree()), "");
}

TEST_F(FileUtilsTest, SecondBackupKeepsTheFirstUntilConcluded) {
  write_file("a", "v1", 0640);
  char path[] = "a";
  EXPECT_EQ(backup_create(path), OK);
  write_file("a", "v2", 0644);
  EXPECT_EQ(backup_create(path), OK);
  EXPECT_EQ(read_file("a.kiv-backup"), "v1");
  EXPECT_EQ(backup_conclude(path, ERR_READ), 0);
  EXPECT_EQ(tree_diff(tree_of({{"a", "v1", 0640}}), tree()), "");
  // Concluded: a later backup of the same path is a new one.
  EXPECT_EQ(backup_create(path), OK);
  EXPECT_EQ(backup_conclude(path, OK), 0);
  EXPECT_EQ(log(), "");
}

}  // namespace
