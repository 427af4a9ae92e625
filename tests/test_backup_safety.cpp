// What protects an installation when a backup cannot be trusted: short and
// failing writes, partial backups, files changed twice in one run, leftover
// backups of an earlier run, paths that could leave the installation, and
// directories the user may not write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/action_cases.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char kQuit[] = "calling QuitProgressUI\n";

std::string pattern_bytes(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; i++) s[i] = static_cast<char>((i * 131 + i / 97) & 0xff);
  return s;
}

RunOptions with_env(const std::vector<std::string>& env) {
  RunOptions o;
  o.env = env;
  return o;
}

std::string lines(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string& p : parts) s += p + "\n";
  return s;
}

TEST(BackupSafety, FailedCopiesNeverEndAsSuccessOrLeaveAPartialBackup) {
  const std::string big = pattern_bytes(20000);
  const std::vector<TreeFile> app = {{"bin/app", big, 0755}};
  RunOptions small_files;
  small_files.file_size_limit = 10000;
  check_action_cases({
      {"a write of zero bytes in the backup of an add",
       app,
       "add \"bin/app\"\n",
       {{"bin/app", "new", 0755}},
       lines({"PREPARE ADD bin/app", "EXECUTE ADD bin/app", "copy_file: failed to write: 0",
              "### execution failed", "FINISH ADD bin/app",
              "copy_file: failed to open or stat: -1,bin/app.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       app,
       with_env(fault_shim_env(
           {"FAULT_PATH=*.kiv-backup", "FAULT_WRITE_AT=2", "FAULT_WRITE_ERRNO=0"}))},
      {"a write of zero bytes in the backup of a remove",
       app,
       "remove \"bin/app\"\n",
       {},
       lines({"PREPARE REMOVE bin/app", "EXECUTE REMOVE bin/app",
              "copy_file: failed to write: 0", "backup_create failed: 7",
              "### execution failed", "FINISH REMOVE bin/app",
              "copy_file: failed to open or stat: -1,bin/app.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       app,
       with_env(fault_shim_env(
           {"FAULT_PATH=*.kiv-backup", "FAULT_WRITE_AT=1", "FAULT_WRITE_ERRNO=0"}))},
      {"a full disk part way through a backup",
       app,
       "remove \"bin/app\"\n",
       {},
       lines({"PREPARE REMOVE bin/app", "EXECUTE REMOVE bin/app",
              "copy_file: failed to write: 28", "backup_create failed: 7",
              "### execution failed", "FINISH REMOVE bin/app",
              "copy_file: failed to open or stat: -1,bin/app.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       app,
       with_env(fault_shim_env(
           {"FAULT_PATH=*.kiv-backup", "FAULT_WRITE_AT=2", "FAULT_WRITE_ERRNO=28"}))},
      {"a write error that shows only at close",
       app,
       "add \"bin/app\"\n",
       {{"bin/app", "new", 0755}},
       lines({"PREPARE ADD bin/app", "EXECUTE ADD bin/app", "copy_file: failed to write: 5",
              "### execution failed", "FINISH ADD bin/app",
              "copy_file: failed to open or stat: -1,bin/app.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       app,
       with_env(fault_shim_env({"FAULT_PATH=*.kiv-backup", "FAULT_CLOSE_ERRNO=5"}))},
      {"a file size limit part way through a backup",
       app,
       "add \"bin/app\"\n",
       {{"bin/app", "new", 0755}},
       lines({"PREPARE ADD bin/app", "EXECUTE ADD bin/app", "copy_file: failed to write: 27",
              "### execution failed", "FINISH ADD bin/app",
              "copy_file: failed to open or stat: -1,bin/app.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       app,
       small_files},
      {"a directory that cannot be read as the file to remove",
       {{"somedir/inner", "x"}},
       "remove \"somedir\"\n",
       {},
       lines({"PREPARE REMOVE somedir", "EXECUTE REMOVE somedir",
              "copy_file: failed to read: 21", "backup_create failed: 6",
              "### execution failed", "FINISH REMOVE somedir",
              "copy_file: failed to open or stat: -1,somedir.kiv-backup,2", "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{"somedir/inner", "x"}}},
      {"a restore that fails keeps the backup next to the file",
       app,
       "add \"bin/app\"\nadd \"missing\"\n",
       {{"bin/app", "new", 0700}},
       lines({"PREPARE ADD bin/app", "PREPARE ADD missing", "EXECUTE ADD bin/app",
              "EXECUTE ADD missing", "### execution failed", "FINISH ADD bin/app",
              "copy_file: failed to write: 28", "FINISH ADD missing",
              "copy_file: failed to open or stat: -1,missing.kiv-backup,2", "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{"bin/app", "", 0755}, {"bin/app.kiv-backup", big, 0755}},
       // Only the restore writes to bin/app directly; extraction goes through stdio.
       with_env(fault_shim_env({"FAULT_PATH=bin/app", "FAULT_WRITE_AT=1",
                                "FAULT_WRITE_ERRNO=28"}))},
  });
}

TEST(BackupSafety, AFileChangedTwiceGetsBackItsContentFromBeforeTheRun) {
  check_action_cases({
      {"two adds and a remove of one file, then a failure",
       {{"a", "v1", 0600}},
       "add \"a\"\nadd \"a\"\nremove \"a\"\nadd \"gone/x\"\n",
       {{"a", "v2", 0644}},
       lines({"PREPARE ADD a", "PREPARE ADD a", "PREPARE REMOVE a", "PREPARE ADD gone/x",
              "EXECUTE ADD a", "EXECUTE ADD a", "EXECUTE REMOVE a", "EXECUTE ADD gone/x",
              "### execution failed", "FINISH ADD a", "FINISH ADD a",
              "copy_file: failed to open or stat: -1,a.kiv-backup,2", "FINISH REMOVE a",
              "copy_file: failed to open or stat: -1,a.kiv-backup,2", "FINISH ADD gone/x",
              "copy_file: failed to open or stat: -1,gone/x.kiv-backup,2", "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{"a", "v1", 0600}, {"gone/", "", 0755}}},
      {"remove, then add of the same file, then a failure",
       {{"b", "v1", 0750}},
       "remove \"b\"\nadd \"b\"\nadd \"missing\"\n",
       {{"b", "v2", 0644}},
       lines({"PREPARE REMOVE b", "PREPARE ADD b", "PREPARE ADD missing", "EXECUTE REMOVE b",
              "EXECUTE ADD b", "EXECUTE ADD missing", "### execution failed", "FINISH REMOVE b",
              "FINISH ADD b", "copy_file: failed to open or stat: -1,b.kiv-backup,2",
              "FINISH ADD missing", "copy_file: failed to open or stat: -1,missing.kiv-backup,2",
              "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{"b", "v1", 0750}}},
  });
}

TEST(BackupSafety, LeftoverBackupsOfAnEarlierRunAreNeverRestored) {
  check_action_cases({
      {"failed run: leftovers of untouched files stay, a changed file gets its leftover back",
       {{"a", "a1"},
        {"a.kiv-backup", "stale a"},
        {"b", "b1"},
        {"b.kiv-backup", "stale b", 0600},
        {"c", "c1"},
        {"c.kiv-backup", "stale c"}},
       "add \"a\"\nadd \"x/y\"\nadd \"b\"\nremove \"c\"\n",
       {{"a", "a2"}, {"b", "b2"}},
       lines({"PREPARE ADD a", "PREPARE ADD x/y", "PREPARE ADD b", "PREPARE REMOVE c",
              "EXECUTE ADD a", "EXECUTE ADD x/y", "### execution failed", "FINISH ADD a",
              "restored from the backup of an interrupted run: a", "FINISH ADD x/y",
              "copy_file: failed to open or stat: -1,x/y.kiv-backup,2",
              "FINISH ADD b", "leftover backup not written by this run, left alone: b.kiv-backup",
              "FINISH REMOVE c",
              "leftover backup not written by this run, left alone: c.kiv-backup",
              "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{"a", "stale a"},
        {"b", "b1"},
        {"b.kiv-backup", "stale b", 0600},
        {"c", "c1"},
        {"c.kiv-backup", "stale c"},
        {"x/", "", 0755}}},
      {"a directory of the backup name is left alone",
       {{"bin/app", "v1", 0755}, {"bin/app.kiv-backup/", "", 0755}},
       "add \"bin/app\"\n",
       {{"bin/app", "v2", 0755}},
       lines({"PREPARE ADD bin/app", "EXECUTE ADD bin/app",
              "copy_file: failed to open: bin/app.kiv-backup,21", "### execution failed",
              "FINISH ADD bin/app",
              "leftover backup not written by this run, left alone: bin/app.kiv-backup",
              "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       {{"bin/app", "v1", 0755}, {"bin/app.kiv-backup/", "", 0755}}},
      {"successful run: leftovers of the files it changed are deleted",
       {{"a", "a1"}, {"a.kiv-backup", "stale a"}, {"n.kiv-backup", "stale n"}},
       "add \"a\"\nadd \"n\"\n",
       {{"a", "a2"}, {"n", "n2"}},
       lines({"PREPARE ADD a", "PREPARE ADD n", "EXECUTE ADD a", "EXECUTE ADD n",
              "FINISH ADD a", "FINISH ADD n",
              "leftover backup of an interrupted run removed: n.kiv-backup", "succeeded"}) +
           kQuit,
       "succeeded\n",
       {{"a", "a2"}, {"n", "n2"}}},
      {"successful run: a remove that finds its file gone deletes the leftover backup",
       {{"gone.kiv-backup", "old gone"}, {"keep", "k"}},
       "remove \"gone\"\n",
       {},
       lines({"PREPARE REMOVE gone", "file cannot be removed because it does not exist; skipping",
              "EXECUTE REMOVE gone", "FINISH REMOVE gone",
              "leftover backup of an interrupted run removed: gone.kiv-backup", "succeeded"}) +
           kQuit,
       "succeeded\n",
       {{"keep", "k"}}},
      {"failed run: a remove that finds its file gone keeps the leftover backup",
       {{"gone.kiv-backup", "old gone"}},
       "remove \"gone\"\nadd \"missing-entry\"\n",
       {},
       lines({"PREPARE REMOVE gone", "file cannot be removed because it does not exist; skipping",
              "PREPARE ADD missing-entry", "EXECUTE REMOVE gone", "EXECUTE ADD missing-entry",
              "### execution failed", "FINISH REMOVE gone", "FINISH ADD missing-entry",
              "copy_file: failed to open or stat: -1,missing-entry.kiv-backup,2", "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{"gone.kiv-backup", "old gone"}}},
  });
}

TEST(BackupSafety, PathsOutsideTheInstallationOrTooLongAreRefusedBeforeAnyChange) {
  std::string dirs;
  for (int i = 0; i < 10; i++) dirs += std::string(99, 'd') + "/";
  const std::string longest = dirs + "file-123.txt";   // 1012 bytes
  const std::string too_long = dirs + "file-1234.txt";  // 1013 bytes
  ASSERT_EQ(longest.size(), 1012u);
  const std::vector<TreeFile> kept = {{"keep", "k"}};
  auto refused = [&](const char* name, const std::string& line, const std::string& message) {
    return ActionCase{name, kept, "add \"keep\"\n" + line + "\n", {{"keep", "new"}},
                      message + "\nbad manifest line: " + line + "\nfailed: 5\n" + kQuit,
                      "failed: 5\n", kept};
  };
  check_action_cases({
      refused("too long", "remove \"" + too_long + "\"",
              "path too long for its backup name, refused: " + too_long),
      refused("absolute remove", "remove \"/etc/hostname\"", "unsafe path refused: /etc/hostname"),
      refused("parent add", "add \"../outside.txt\"", "unsafe path refused: ../outside.txt"),
      refused("parent inside", "add \"a/../../x\"", "unsafe path refused: a/../../x"),
      refused("trailing parent", "remove \"lib/..\"", "unsafe path refused: lib/.."),
      refused("bare parent", "add \"..\"", "unsafe path refused: .."),
      refused("absolute add-if file", "add-if \"keep\" \"/tmp/abs\"",
              "unsafe path refused: /tmp/abs"),
      {"the longest path still has a complete backup name",
       {{longest, "deep", 0640}},
       "remove \"" + longest + "\"\nadd \"missing\"\n",
       {},
       lines({"PREPARE REMOVE " + longest, "PREPARE ADD missing", "EXECUTE REMOVE " + longest,
              "EXECUTE ADD missing", "### execution failed", "FINISH REMOVE " + longest,
              "FINISH ADD missing", "copy_file: failed to open or stat: -1,missing.kiv-backup,2",
              "failed: 6"}) +
           kQuit,
       "failed: 6\n",
       {{longest, "deep", 0640}}},
      {"dots inside names are fine and guard files are not restricted",
       {{"g", "guard"}},
       "add \"..hidden/x..y\"\nadd-if \"../install/g\" \"p.cfg\"\n",
       {{"..hidden/x..y", "h"}, {"p.cfg", "p"}},
       lines({"PREPARE ADD ..hidden/x..y", "PREPARE ADD p.cfg", "EXECUTE ADD ..hidden/x..y",
              "EXECUTE ADD p.cfg", "FINISH ADD ..hidden/x..y", "FINISH ADD p.cfg",
              "succeeded"}) +
           kQuit,
       "succeeded\n",
       {{"g", "guard"}, {"..hidden/x..y", "h"}, {"p.cfg", "p"}}},
  });
}

TEST(BackupSafety, DirectoriesTheUserMayNotWriteStopTheRun) {
  uid_t uid = unprivileged_uid();
  if (uid == 0) GTEST_SKIP() << "no unprivileged user to run the updater as";
  RunOptions as_user;
  as_user.uid = uid;
  const std::vector<TreeFile> lib = {{"lib/a.so", "a", 0755}, {"lib/", "", 0755}};
  check_action_cases({
      {"remove: refused in Prepare, nothing touched",
       lib,
       "add \"new.txt\"\nremove \"lib/a.so\"\n",
       {{"new.txt", "n"}},
       lines({"PREPARE ADD new.txt", "PREPARE REMOVE lib/a.so", "access failed: 13",
              "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       lib,
       as_user},
      {"add over a file: its backup cannot be made",
       lib,
       "add \"lib/a.so\"\n",
       {{"lib/a.so", "new"}},
       lines({"PREPARE ADD lib/a.so", "EXECUTE ADD lib/a.so",
              "copy_file: failed to open: lib/a.so.kiv-backup,13", "### execution failed",
              "FINISH ADD lib/a.so",
              "copy_file: failed to open or stat: -1,lib/a.so.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       lib,
       as_user},
      {"add of a new file: it cannot be created",
       lib,
       "add \"lib/b.so\"\n",
       {{"lib/b.so", "new"}},
       lines({"PREPARE ADD lib/b.so", "EXECUTE ADD lib/b.so", "### execution failed",
              "FINISH ADD lib/b.so",
              "copy_file: failed to open or stat: -1,lib/b.so.kiv-backup,2", "failed: 7"}) +
           kQuit,
       "failed: 7\n",
       lib,
       as_user},
  });
}

}  // namespace
