// The remove, add and add-if actions through the real updater: what each does
// to the installation, the log it writes, and what a failed run puts back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/action_cases.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const char kEnd[] = "succeeded\ncalling QuitProgressUI\n";
const char kSkip[] = "file cannot be removed because it does not exist; skipping\n";

TEST(FileActions, AddRemoveAndAddIfOnASuccessfulRun) {
  check_action_cases({
      {"new files in new directories",
       {{"keep.txt", "kept", 0600}},
       "add \"bin/tool\"\nadd \"share/a/b/c.txt\"\nadd \"top.txt\"\n",
       {{"bin/tool", "#!/bin/sh\n", 0755}, {"share/a/b/c.txt", "", 0600}, {"top.txt", "t", 0644}},
       "PREPARE ADD bin/tool\nPREPARE ADD share/a/b/c.txt\nPREPARE ADD top.txt\n"
       "EXECUTE ADD bin/tool\nEXECUTE ADD share/a/b/c.txt\nEXECUTE ADD top.txt\n"
       "FINISH ADD bin/tool\nFINISH ADD share/a/b/c.txt\nFINISH ADD top.txt\n" +
           std::string(kEnd),
       "succeeded\n",
       {{"keep.txt", "kept", 0600},
        {"bin/tool", "#!/bin/sh\n", 0755},
        {"share/a/b/c.txt", "", 0600},
        {"top.txt", "t", 0644}}},
      {"add over existing files takes the entry's content and mode",
       {{"bin/app", "old app", 0700}, {"etc/conf", "old conf", 0666}},
       "add \"bin/app\"\nadd \"etc/conf\"\n",
       {{"bin/app", "new app", 0755}, {"etc/conf", "new conf", 0640}},
       "PREPARE ADD bin/app\nPREPARE ADD etc/conf\nEXECUTE ADD bin/app\nEXECUTE ADD etc/conf\n"
       "FINISH ADD bin/app\nFINISH ADD etc/conf\n" +
           std::string(kEnd),
       "succeeded\n",
       {{"bin/app", "new app", 0755}, {"etc/conf", "new conf", 0640}}},
      {"remove of an absent file: its four lines in order",
       {},
       "remove \"gone.txt\"\n",
       {},
       "PREPARE REMOVE gone.txt\n" + std::string(kSkip) + "EXECUTE REMOVE gone.txt\n" +
           "FINISH REMOVE gone.txt\n" + kEnd,
       "succeeded\n",
       {}},
      {"remove in a directory, in the top directory, and twice",
       {{"lib/a.so", "a", 0755}, {"top", "t"}, {"twice", "2"}, {"lib/b.so", "b"}},
       "remove \"lib/a.so\"\nremove \"top\"\nremove \"twice\"\nremove \"twice\"\n",
       {},
       "PREPARE REMOVE lib/a.so\nPREPARE REMOVE top\nPREPARE REMOVE twice\n"
       "PREPARE REMOVE twice\nEXECUTE REMOVE lib/a.so\nEXECUTE REMOVE top\n"
       "EXECUTE REMOVE twice\nEXECUTE REMOVE twice\n" +
           std::string(kSkip) +
           "FINISH REMOVE lib/a.so\nFINISH REMOVE top\nFINISH REMOVE twice\n"
           "FINISH REMOVE twice\n" +
           kEnd,
       "succeeded\n",
       {{"lib/b.so", "b"}}},
      {"remove of a file in a directory without write permission for the file",
       {{"ro/file", "x", 0444}},
       "remove \"ro/file\"\n",
       {},
       "PREPARE REMOVE ro/file\nEXECUTE REMOVE ro/file\nFINISH REMOVE ro/file\n" +
           std::string(kEnd),
       "succeeded\n",
       {{"ro/", "", 0755}}},
      {"add-if disabled writes nothing; enabled is an add; names with blanks",
       {{"guard", "g"}, {"my file.txt", "old"}},
       "add-if \"plugins/x.so\" \"plugins/x.cfg\"\nremove \"guard\"\n"
       "add-if \"guard\" \"enabled.cfg\" trailing text\nadd \"my file.txt\"\n"
       "add-if \"my file.txt\"\t\"unquoted\nadd bin/app\n",
       {{"plugins/x.cfg", "x", 0644},
        {"enabled.cfg", "e", 0600},
        {"my file.txt", "new", 0644},
        {"unquoted", "u", 0644},
        {"bin/app", "app", 0755}},
       "PREPARE REMOVE guard\nPREPARE ADD enabled.cfg\nPREPARE ADD my file.txt\n"
       "PREPARE ADD unquoted\nPREPARE ADD bin/app\n"
       "EXECUTE REMOVE guard\nEXECUTE ADD enabled.cfg\nEXECUTE ADD my file.txt\n"
       "EXECUTE ADD unquoted\nEXECUTE ADD bin/app\n"
       "FINISH REMOVE guard\nFINISH ADD enabled.cfg\nFINISH ADD my file.txt\n"
       "FINISH ADD unquoted\nFINISH ADD bin/app\n" +
           std::string(kEnd),
       "succeeded\n",
       {{"enabled.cfg", "e", 0600},
        {"my file.txt", "new", 0644},
        {"unquoted", "u", 0644},
        {"bin/app", "app", 0755}}},
  });
}

TEST(FileActions, AddOverAnExistingFileMakesANewInode) {
  TempDir root;
  std::string install = root / "install", updates = root / "updates";
  write_file(install + "/bin/app", "old app", 0700);
  // A second name for the old inode: rewriting the file in place would show.
  ASSERT_EQ(link((install + "/bin/app").c_str(), (install + "/bin/app-link").c_str()), 0);
  struct stat before;
  ASSERT_EQ(stat((install + "/bin/app").c_str(), &before), 0);
  make_update(updates, "add \"bin/app\"\n", {{"bin/app", "new app", 0755}});
  run_updater(install, updates);
  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  struct stat after;
  ASSERT_EQ(stat((install + "/bin/app").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(tree_diff(tree_of({{"bin/app", "new app", 0755}, {"bin/app-link", "old app", 0700}}),
                      snapshot_tree(install)),
            "");
}

TEST(FileActions, FailedRunPutsBackReplacedAndRemovedFiles) {
  const std::vector<TreeFile> before = {
      {"bin/app", "app v1", 0755},      {"share/data", "data v1", 0640},
      {"lib/old.so", "old lib", 0775},  {"conf", "secret", 0600},
      {"etc/missing.cfg", "keep", 0600}, {"never", "never touched", 0644},
  };
  std::vector<TreeFile> after = before;
  after.push_back({"new/dir/file.txt", "brand new", 0644});
  check_action_cases({
      {"a missing entry late in the run",
       before,
       "add \"bin/app\"\nadd \"share/data\"\nadd \"new/dir/file.txt\"\nremove \"lib/old.so\"\n"
       "remove \"conf\"\nadd \"etc/missing.cfg\"\nadd \"never\"\n",
       {{"bin/app", "app v2", 0755},
        {"share/data", "data v2", 0644},
        {"new/dir/file.txt", "brand new", 0644},
        {"never", "never v2", 0644}},
       "PREPARE ADD bin/app\nPREPARE ADD share/data\nPREPARE ADD new/dir/file.txt\n"
       "PREPARE REMOVE lib/old.so\nPREPARE REMOVE conf\nPREPARE ADD etc/missing.cfg\n"
       "PREPARE ADD never\n"
       "EXECUTE ADD bin/app\nEXECUTE ADD share/data\nEXECUTE ADD new/dir/file.txt\n"
       "EXECUTE REMOVE lib/old.so\nEXECUTE REMOVE conf\nEXECUTE ADD etc/missing.cfg\n"
       "### execution failed\n"
       "FINISH ADD bin/app\nFINISH ADD share/data\nFINISH ADD new/dir/file.txt\n"
       "copy_file: failed to open or stat: -1,new/dir/file.txt.kiv-backup,2\n"
       "FINISH REMOVE lib/old.so\nFINISH REMOVE conf\nFINISH ADD etc/missing.cfg\n"
       "FINISH ADD never\n"
       "copy_file: failed to open or stat: -1,never.kiv-backup,2\n"
       "failed: 6\ncalling QuitProgressUI\n",
       "failed: 6\n",
       after},
  });
}

}  // namespace

// A link to nothing where a file is added: the extraction must not create
// the link's target, which may lie anywhere; the new file replaces the link.
TEST(FileActions, AddOverALinkToNothingReplacesTheLink) {
  TempDir root;
  std::string install = root / "install", updates = root / "updates";
  make_dirs(install + "/bin");
  make_dirs(root / "outside");
  ASSERT_EQ(symlink((root / "outside/target").c_str(), (install + "/bin/tool").c_str()), 0);
  make_update(updates, "add \"bin/tool\"\n", {{"bin/tool", "new tool", 0755}});
  run_updater(install, updates);
  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  EXPECT_EQ(read_file(updates + "/update.log"),
            std::string(kUnverifiedLine) +
                "PREPARE ADD bin/tool\nEXECUTE ADD bin/tool\nreplacing a link to nothing: bin/tool\n"
            "FINISH ADD bin/tool\nsucceeded\ncalling QuitProgressUI\n");
  EXPECT_FALSE(exists(root / "outside/target"));
  EXPECT_EQ(tree_diff(tree_of({{"bin/tool", "new tool", 0755}}), snapshot_tree(install)), "");
}
