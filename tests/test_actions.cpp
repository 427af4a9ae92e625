// The manifest's actions through the real updater, as table rows: the
// installation before, the package, and the log, status and installation
// that the run must leave, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// The log of a run whose actions all succeed: each phase over all of them.
std::string phases(const std::vector<std::string>& actions) {
  std::string log;
  for (const char* phase : {"PREPARE ", "EXECUTE ", "FINISH "}) {
    for (const std::string& a : actions) log += phase + a + "|";
  }
  return log + "succeeded";
}

RunOptions with_faults(const std::vector<std::string>& settings) {
  RunOptions o;
  o.env = fault_shim_env(settings);
  return o;
}

RunOptions as_user() {
  RunOptions o;
  o.uid = unprivileged_uid();
  return o;
}

const char kSkip[] = "file cannot be removed because it does not exist; skipping|";
const char kNoBackup[] = "copy_file: failed to open or stat: -1,";

TEST(Actions, AddRemoveAndAddIf) {
  check_action_cases({
      {"new files in new directories", {{"keep", "k", 0600}},
       "add \"bin/tool\"\nadd \"share/a/b.txt\"\nadd \"top\"\n",
       {{"bin/tool", "#!/bin/sh\n", 0755}, {"share/a/b.txt", "", 0600}, {"top", "t"}},
       phases({"ADD bin/tool", "ADD share/a/b.txt", "ADD top"}),
       {{"keep", "k", 0600}, {"bin/tool", "#!/bin/sh\n", 0755}, {"share/a/b.txt", "", 0600}, {"top", "t"}}},
      {"add over a file takes the entry's content and mode, as a new inode",
       {{"bin/app", "old app", 0700}}, "add \"bin/app\"\n", {{"bin/app", "new app", 0755}},
       phases({"ADD bin/app"}), {{"bin/app", "new app", 0755}, {"bin/app-link", "old app", 0700}}, {},
       [](const Paths& p) { EXPECT_EQ(link((p.install + "/bin/app").c_str(), (p.install + "/bin/app-link").c_str()), 0); }},
      {"add over a link to nothing replaces the link", {{"bin/tool", "gone", 0}}, "add \"bin/tool\"\n",
       {{"bin/tool", "new", 0755}},
       "PREPARE ADD bin/tool|EXECUTE ADD bin/tool|replacing a link to nothing: bin/tool|FINISH ADD bin/tool|succeeded",
       {{"bin/tool", "new", 0755}}},
      {"mkdir gives a directory that exists the mode asked for, 0000 too", {{"d/", "", 0755}},
       "mkdir \"d\" \"0000\"\n", {}, phases({"MKDIR d"}), {{"d/", "", 0}}},
      {"remove of an absent file", {}, "remove \"gone\"\n", {},
       "PREPARE REMOVE gone|" + std::string(kSkip) + "EXECUTE REMOVE gone|FINISH REMOVE gone|succeeded", {}},
      {"remove in a directory, at the top, twice, read-only",
       {{"lib/a.so", "a", 0755}, {"top", "t"}, {"twice", "2"}, {"lib/b.so", "b"}, {"ro/f", "x", 0444}},
       "remove \"lib/a.so\"\nremove \"top\"\nremove \"twice\"\nremove \"twice\"\nremove \"ro/f\"\n", {},
       "PREPARE REMOVE lib/a.so|PREPARE REMOVE top|PREPARE REMOVE twice|PREPARE REMOVE twice|"
       "PREPARE REMOVE ro/f|EXECUTE REMOVE lib/a.so|EXECUTE REMOVE top|EXECUTE REMOVE twice|"
       "EXECUTE REMOVE twice|" + std::string(kSkip) + "EXECUTE REMOVE ro/f|FINISH REMOVE lib/a.so|"
       "FINISH REMOVE top|FINISH REMOVE twice|FINISH REMOVE twice|FINISH REMOVE ro/f|succeeded",
       {{"lib/b.so", "b"}, {"ro/", "", 0755}}},
      {"add-if: a missing guard skips it; blanks in names; a last argument without its quote",
       {{"guard", "g"}, {"my file", "old"}},
       "add-if \"plugins/x.so\" \"plugins/x.cfg\"\nremove \"guard\"\nadd-if \"guard\" \"on.cfg\" trailing\n"
       "add \"my file\"\nadd-if \"my file\"\t\"unquoted\nadd bin/app\n",
       {{"plugins/x.cfg", "x"}, {"on.cfg", "e", 0600}, {"my file", "new"}, {"unquoted", "u"}, {"bin/app", "a", 0755}},
       phases({"REMOVE guard", "ADD on.cfg", "ADD my file", "ADD unquoted", "ADD bin/app"}),
       {{"on.cfg", "e", 0600}, {"my file", "new"}, {"unquoted", "u"}, {"bin/app", "a", 0755}}},
      {"a failed run puts back every replaced and removed file",
       {{"bin/app", "app 1", 0755}, {"lib/old.so", "old", 0775}, {"conf", "secret", 0600}, {"never", "n", 0644}},
       "add \"bin/app\"\nadd \"new/dir/f\"\nremove \"lib/old.so\"\nremove \"conf\"\nadd \"missing\"\nadd \"never\"\n",
       {{"bin/app", "app 2", 0755}, {"new/dir/f", "f"}, {"never", "n 2"}},
       "PREPARE ADD bin/app|PREPARE ADD new/dir/f|PREPARE REMOVE lib/old.so|PREPARE REMOVE conf|"
       "PREPARE ADD missing|PREPARE ADD never|EXECUTE ADD bin/app|EXECUTE ADD new/dir/f|"
       "EXECUTE REMOVE lib/old.so|EXECUTE REMOVE conf|EXECUTE ADD missing|### execution failed|"
       "FINISH ADD bin/app|FINISH ADD new/dir/f|" + std::string(kNoBackup) + "new/dir/f.kiv-backup,2|"
       "FINISH REMOVE lib/old.so|FINISH REMOVE conf|FINISH ADD missing|" + kNoBackup + "missing.kiv-backup,2|"
       "FINISH ADD never|" + kNoBackup + "never.kiv-backup,2|failed: 6",
       {{"bin/app", "app 1", 0755}, {"lib/old.so", "old", 0775}, {"conf", "secret", 0600}, {"never", "n"},
        {"new/dir/f", "f"}}},
  });
}

TEST(Actions, BackupsThatCannotBeTrusted) {
  check_action_cases({
      {"a directory where a file or link is removed stays", {{"d/inner", "x"}}, "remove \"d\"\n", {},
       "PREPARE REMOVE d|EXECUTE REMOVE d|not a file or link, left in place: d|FINISH REMOVE d|succeeded",
       {{"d/inner", "x"}}},
      {"a file changed three times gets back its content from before the run", {{"a", "v1", 0600}},
       "add \"a\"\nadd \"a\"\nremove \"a\"\nadd \"gone/x\"\n", {{"a", "v2"}},
       "PREPARE ADD a|PREPARE ADD a|PREPARE REMOVE a|PREPARE ADD gone/x|EXECUTE ADD a|EXECUTE ADD a|"
       "EXECUTE REMOVE a|EXECUTE ADD gone/x|### execution failed|FINISH ADD a|FINISH ADD a|" +
           std::string(kNoBackup) + "a.kiv-backup,2|FINISH REMOVE a|" + kNoBackup + "a.kiv-backup,2|"
           "FINISH ADD gone/x|" + kNoBackup + "gone/x.kiv-backup,2|failed: 6",
       {{"a", "v1", 0600}, {"gone/", "", 0755}}},
      {"failed run: leftovers of untouched files stay, a changed file gets its leftover back",
       {{"a", "a1"}, {"a.kiv-backup", "stale"}, {"b", "b1"}, {"b.kiv-backup", "stale b", 0600},
        {"c", "c1"}, {"c.kiv-backup", "stale c"}},
       "add \"a\"\nadd \"x/y\"\nadd \"b\"\nremove \"c\"\n", {{"a", "a2"}, {"b", "b2"}},
       "PREPARE ADD a|PREPARE ADD x/y|PREPARE ADD b|PREPARE REMOVE c|EXECUTE ADD a|EXECUTE ADD x/y|"
       "### execution failed|FINISH ADD a|restored from the backup of an interrupted run: a|FINISH ADD x/y|" +
           std::string(kNoBackup) + "x/y.kiv-backup,2|"
       "FINISH ADD b|leftover backup not written by this run, left alone: b.kiv-backup|FINISH REMOVE c|"
       "leftover backup not written by this run, left alone: c.kiv-backup|failed: 6",
       {{"a", "stale"}, {"b", "b1"}, {"b.kiv-backup", "stale b", 0600}, {"c", "c1"}, {"c.kiv-backup", "stale c"},
        {"x/", "", 0755}}},
      {"a directory at the backup name is an interrupted run's backup", {{"bin/app", "v1", 0755}, {"bin/app.kiv-backup/", "", 0755}},
       "add \"bin/app\"\n", {{"bin/app", "v2", 0755}},
       "PREPARE ADD bin/app|EXECUTE ADD bin/app|FINISH ADD bin/app|"
       "leftover backup of an interrupted run removed: bin/app.kiv-backup|succeeded",
       {{"bin/app", "v2", 0755}}},
      {"a successful run deletes the leftovers of what it changed",
       {{"a", "a1"}, {"a.kiv-backup", "stale"}, {"n.kiv-backup", "stale n"}, {"g.kiv-backup", "old g"}},
       "add \"a\"\nadd \"n\"\nremove \"g\"\n", {{"a", "a2"}, {"n", "n2"}},
       "PREPARE ADD a|PREPARE ADD n|PREPARE REMOVE g|" + std::string(kSkip) + "EXECUTE ADD a|EXECUTE ADD n|"
       "EXECUTE REMOVE g|FINISH ADD a|leftover backup of an interrupted run removed: a.kiv-backup|FINISH ADD n|"
       "leftover backup of an interrupted run removed: n.kiv-backup|"
       "FINISH REMOVE g|leftover backup of an interrupted run removed: g.kiv-backup|succeeded",
       {{"a", "a2"}, {"n", "n2"}}},
      {"a failing rerun over a leftover backup, the only copy of the original",
       {{"a", "current"}, {"a.kiv-backup", "original", 0600}}, "remove \"a\"\nadd \"missing\"\n", {},
       "PREPARE REMOVE a|PREPARE ADD missing|EXECUTE REMOVE a|EXECUTE ADD missing|### execution failed|FINISH REMOVE a|"
       "restored from the backup of an interrupted run: a|FINISH ADD missing|" + std::string(kNoBackup) +
           "missing.kiv-backup,2|failed: 6",
       {{"a", "original", 0600}}},
      {"a failed run puts back the leftover of a file found gone", {{"g.kiv-backup", "old g"}},
       "remove \"g\"\nadd \"missing\"\n", {},
       "PREPARE REMOVE g|" + std::string(kSkip) + "PREPARE ADD missing|EXECUTE REMOVE g|EXECUTE ADD missing|"
       "### execution failed|FINISH REMOVE g|restored from the backup of an interrupted run: g|FINISH ADD missing|" +
           kNoBackup + "missing.kiv-backup,2|failed: 6",
       {{"g", "old g"}}},
  });
}

// Signals, a full disk and a hostile update directory: the run completes or
// gives back every old file, and writes through no link it did not make.
TEST(Actions, HostileUpdateDirectorySignalsAndFullDisk) {
  std::vector<ActionCase> cases = {
      {"links and pipes at every name the run writes", {{"a", "a1"}, {"victim", "keep"}},
       "add \"new\"\npatch \"p\" \"a\"\n", {{"new", "new"}, {"p", make_patch("a1", "a2")}},
       "PREPARE ADD new|PREPARE PATCH a|EXECUTE ADD new|EXECUTE PATCH a|FINISH ADD new|FINISH PATCH a|"
       "leftover backup of an interrupted run removed: a.kiv-backup|succeeded",
       {{"a", "a2"}, {"new", "new"}, {"victim", "keep"}}, {},
       [](Paths& p) {
         plant_tree(p.install, {{"a.kiv-backup", "victim", 0}});
         for (const char* name : {"update.log", "update.manifest", "0.patch"})
           plant_tree(p.updates, {{name, p.install + "/victim", 0}});
         EXPECT_EQ(mkfifo((p.updates + "/update.status").c_str(), 0644), 0);
       }},
      {"a named pipe as the package", {}, "", {}, "package is not a regular file: $U/update.zav|failed: 6", {}, {},
       [](Paths& p) {
         unlink((p.updates + "/update.zav").c_str());
         EXPECT_EQ(mkfifo((p.updates + "/update.zav").c_str(), 0644), 0);
       }},
      {"a NUL byte in the manifest", {{"b", "b"}}, std::string("add \"a\"\n\0remove \"b\"\n", 20), {{"a", "a"}},
       "manifest contains a NUL byte|failed: 5", {{"b", "b"}}},
      {"set-user-ID bits of an unsigned package", {}, "add \"tool\"\n", {{"tool", "#!/bin/sh\n", 06755}},
       "PREPARE ADD tool|EXECUTE ADD tool|set-user-ID and set-group-ID bits dropped: tool|FINISH ADD tool|succeeded",
       {{"tool", "#!/bin/sh\n", 0755}}},
      {"SIGTERM, SIGINT and SIGHUP half way through", {{"a", "a1"}}, "add \"a\"\nadd \"b\"\n", {{"a", "a2"}, {"b", "b"}},
       phases({"ADD a", "ADD b"}), {{"a", "a2"}, {"b", "b"}, {"b.go", ""}}, with_faults({"FAULT_HOLD_PATH=b"}),
       nullptr, nullptr, [](Paths& p) {
         ASSERT_TRUE(wait_for_text(p.updates + "/update.log", "EXECUTE ADD b"));
         for (int s : {SIGTERM, SIGINT, SIGHUP}) kill(p.run, s);
         usleep(200000);
         write_file(p.install + "/b.go", "");  // lets the held extraction go on
       }},
  };
  // A full disk: the partial file goes, so that the restore fits.
  TempDir probe;
  if (mount("tmpfs", probe.path.c_str(), "tmpfs", 0, "size=2m") == 0 && umount(probe.path.c_str()) == 0) {
    cases.push_back({"a file larger than the free space after a remove", {}, "remove \"a\"\nadd \"b\"\n",
                     {{"b", random_bytes(3 << 19, 2)}},
                     "PREPARE REMOVE a|PREPARE ADD b|EXECUTE REMOVE a|EXECUTE ADD b|cannot write b: 28|"
                     "### execution failed|FINISH REMOVE a|FINISH ADD b|" + std::string(kNoBackup) +
                         "b.kiv-backup,2|failed: 7",
                     {{"a", random_bytes(600 << 10, 1)}}, {},
                     [](Paths& p) {
                       ASSERT_EQ(mount("tmpfs", p.install.c_str(), "tmpfs", 0, "size=2m"), 0);
                       write_file(p.install + "/a", random_bytes(600 << 10, 1));
                     },
                     [](Paths& p) { umount2(p.install.c_str(), MNT_DETACH); }});
  }
  check_action_cases(cases);
}

// Nothing is reached through a link on the way, and the arguments of link,
// mkdir and rmdir are checked before anything runs.
TEST(Actions, LinksAndDirectories) {
  auto row = [](const std::string& line, const std::string& log) {
    return ActionCase{line.c_str(), {{"a", "../outside", 0}}, line + "\n", {}, log, {{"a", "../outside", 0}}, {},
                      [](Paths& p) { make_dirs(p.root + "/outside/d"); },
                      [](Paths& p) { EXPECT_EQ(tree_diff(tree_of({{"d/", "", 0755}}), snapshot_tree(p.root + "/outside")), ""); }};
  };
  const std::string outside = "refused, outside the installation: ";
  check_action_cases({
      row("link \"a/b\" \"x\"", "PREPARE LINK a/b|" + outside + "a/b|failed: 7"),
      row("mkdir \"a/n\"", "PREPARE MKDIR a/n|" + outside + "a/n|failed: 7"),
      row("rmdir \"a/d\"", "PREPARE RMDIR a/d|" + outside + "a/d|failed: 7"),
      row("rmdir \"absent\"", "PREPARE RMDIR absent|EXECUTE RMDIR absent|"
                                "directory cannot be removed because it does not exist; skipping|FINISH RMDIR absent|succeeded"),
      row("rmdir \"a\"", "PREPARE RMDIR a|EXECUTE RMDIR a|not a directory, left in place: a|FINISH RMDIR a|succeeded"),
      row("mkdir \"q\" \"0999\"", "bad manifest line: mkdir \"q\" \"0999\"|failed: 5"),
      row("link \"q\"", "bad manifest line: link \"q\"|failed: 5"),
      row("link \"../q\" \"x\"", "unsafe path refused: ../q|bad manifest line: link \"../q\" \"x\"|failed: 5"),
  });
}

// No path leads out of the installation, through a link that stood there
// or one the run made; links that stay inside keep working.
TEST(Actions, NothingOutsideTheInstallation) {
  const std::vector<TreeFile> outside = {{"libssl.so", "system ssl"}, {"victim", "keep"}};
  auto row = [&](const char* name, std::vector<TreeFile> before, const std::string& manifest,
                 std::vector<PackageFile> entries, const std::string& log, std::vector<TreeFile> after) {
    return ActionCase{name, before, manifest, entries, log, after, {},
                      [&](Paths& p) { plant_tree(p.root + "/outside", outside); },
                      [&](Paths& p) { EXPECT_EQ(tree_diff(tree_of(outside), snapshot_tree(p.root + "/outside")), ""); }};
  };
  const std::vector<TreeFile> out_link = {{"lib", "../outside", 0}, {"app", "1"}};
  const std::string kOut = "refused, outside the installation: ", kOnTheWay = "refused, a symbolic link on the way: ";
  check_action_cases({
      row("a remove through a link out", out_link, "add \"app\"\nremove \"lib/libssl.so\"\n", {{"app", "2"}},
          "PREPARE ADD app|PREPARE REMOVE lib/libssl.so|" + kOut + "lib/libssl.so|failed: 7", out_link),
      row("an add through a link out", out_link, "add \"lib/libfoo.so\"\n", {{"lib/libfoo.so", "x"}},
          "PREPARE ADD lib/libfoo.so|" + kOut + "lib/libfoo.so|failed: 7", out_link),
      row("a patch through a link out", out_link, "patch \"p\" \"lib/victim\"\n", {{"p", make_patch("keep", "evil")}},
          "PREPARE PATCH lib/victim|" + kOut + "lib/victim|failed: 7", out_link),
      row("a link out removed before anything goes beneath it", out_link,
          "remove \"lib\"\nadd \"lib/libfoo.so\"\n", {{"lib/libfoo.so", "foo"}},
          phases({"REMOVE lib", "ADD lib/libfoo.so"}), {{"lib/libfoo.so", "foo"}, {"app", "1"}}),
      row("links that stay inside keep working", {{"lib", "lib64", 0}, {"lib64/a.so", "a"}, {"lib64/b.so", "b"}},
          "add \"lib/c.so\"\nremove \"lib/a.so\"\npatch \"p\" \"lib/b.so\"\n", {{"lib/c.so", "c"}, {"p", make_patch("b", "B")}},
          phases({"ADD lib/c.so", "REMOVE lib/a.so", "PATCH lib/b.so"}),
          {{"lib", "lib64", 0}, {"lib64/c.so", "c"}, {"lib64/b.so", "B"}}),
      row("an add beneath a link the run made", {}, "link \"a\" \"/tmp\"\nadd \"a/x\"\n", {{"a/x", "x"}},
          "PREPARE LINK a|PREPARE ADD a/x|EXECUTE LINK a|EXECUTE ADD a/x|" + kOnTheWay + "a/x|### execution failed|"
          "FINISH LINK a|FINISH ADD a/x|" + std::string(kNoBackup) + "a/x.kiv-backup,2|failed: 7",
          {{"a", "/tmp", 0}}),
      row("a directory made a link out, then a failure", {{"d/sub/f", "f"}},
          "remove \"d/sub/f\"\nrmdir \"d/sub\"\nlink \"d/sub\" \"../../outside\"\nadd \"d/sub/victim\"\n",
          {{"d/sub/victim", "evil"}},
          "PREPARE REMOVE d/sub/f|PREPARE RMDIR d/sub|PREPARE LINK d/sub|PREPARE ADD d/sub/victim|"
          "EXECUTE REMOVE d/sub/f|EXECUTE RMDIR d/sub|EXECUTE LINK d/sub|EXECUTE ADD d/sub/victim|" + kOnTheWay +
              "d/sub/victim|### execution failed|FINISH REMOVE d/sub/f|FINISH RMDIR d/sub|FINISH LINK d/sub|"
              "FINISH ADD d/sub/victim|" + kNoBackup + "d/sub/victim.kiv-backup,2|failed: 7",
          {{"d/sub/f", "f"}}),
      row("link, mkdir and rmdir refuse any link on the way", {{"lib", "lib64", 0}, {"lib64/", "", 0755}},
          "mkdir \"lib/n\"\n", {}, "PREPARE MKDIR lib/n|EXECUTE MKDIR lib/n|" + kOnTheWay + "lib/n|"
          "### execution failed|FINISH MKDIR lib/n|failed: 7", {{"lib", "lib64", 0}, {"lib64/", "", 0755}}),
      row("a failed run gives a directory its first mode back", {{"d/", "", 0700}, {"e/", "", 0700}},
          "mkdir \"d\" \"0755\"\nmkdir \"d\" \"0777\"\nmkdir \"e\" \"0755\"\nrmdir \"e\"\nadd \"missing\"\n", {},
          "PREPARE MKDIR d|PREPARE MKDIR d|PREPARE MKDIR e|PREPARE RMDIR e|PREPARE ADD missing|EXECUTE MKDIR d|"
          "EXECUTE MKDIR d|EXECUTE MKDIR e|EXECUTE RMDIR e|EXECUTE ADD missing|### execution failed|FINISH MKDIR d|"
          "FINISH MKDIR d|FINISH MKDIR e|FINISH RMDIR e|FINISH ADD missing|" + std::string(kNoBackup) +
              "missing.kiv-backup,2|failed: 6",
          {{"d/", "", 0700}, {"e/", "", 0700}}),
      row("an interrupted add over a link, then a failing rerun", {{"l", ""}, {"l.kiv-backup", "target", 0}},
          "add \"l\"\nadd \"missing\"\n", {{"l", std::string(40000, 'x')}},
          "PREPARE ADD l|PREPARE ADD missing|EXECUTE ADD l|EXECUTE ADD missing|### execution failed|FINISH ADD l|"
          "restored from the backup of an interrupted run: l|FINISH ADD missing|" + std::string(kNoBackup) +
              "missing.kiv-backup,2|failed: 6",
          {{"l", "target", 0}}),
      row("a link whose long target differs past 1024 bytes", {{"l", std::string(1024, 't') + "x", 0}},
          "link \"l\" \"" + std::string(1024, 't') + "\"\n", {}, phases({"LINK l"}), {{"l", std::string(1024, 't'), 0}}),
  });
}

TEST(Actions, UnsafePathsAndUnwritableDirectories) {
  std::string dirs;
  for (int i = 0; i < 10; i++) dirs += std::string(99, 'd') + "/";
  const std::string longest = dirs + "file-123.txt", too_long = dirs + "file-1234.txt";  // 1012, 1013 bytes
  const std::vector<TreeFile> kept = {{"keep", "k"}};
  auto refused = [&](const std::string& line, const std::string& message) {
    return ActionCase{message.c_str(), kept, "add \"keep\"\n" + line + "\n", {{"keep", "new"}},
                      message + "|bad manifest line: " + line.substr(0, 1023) + "|failed: 5", kept};
  };
  const std::vector<TreeFile> lib = {{"lib/a.so", "a", 0755}};
  if (unprivileged_uid() == 0) GTEST_SKIP() << "no unprivileged user";
  check_action_cases({
      {"a read-only new file is replaced by the restore", {{"a", "old"}}, "add \"a\"\nadd \"missing\"\n",
       {{"a", "new", 0444}},
       "PREPARE ADD a|PREPARE ADD missing|EXECUTE ADD a|EXECUTE ADD missing|### execution failed|FINISH ADD a|"
       "FINISH ADD missing|" + std::string(kNoBackup) + "missing.kiv-backup,2|failed: 6",
       {{"a", "old"}}, as_user(),
       [](Paths& p) { run_program({"/bin/chown", "-R", std::to_string(unprivileged_uid()), p.root}); }},
      {"a restore that cannot be made keeps the backup", {{"d/f", "old"}},
       "add \"d/f\"\nmkdir \"d\" \"0555\"\nadd \"missing\"\n", {{"d/f", "new"}},
       "PREPARE ADD d/f|PREPARE MKDIR d|PREPARE ADD missing|EXECUTE ADD d/f|EXECUTE MKDIR d|EXECUTE ADD missing|"
       "### execution failed|FINISH ADD d/f|rename failed: 13|FINISH MKDIR d|FINISH ADD missing|" +
           std::string(kNoBackup) + "missing.kiv-backup,2|failed: 6",
       {{"d/f", "new"}, {"d/f.kiv-backup", "old"}}, as_user(),
       [](Paths& p) { run_program({"/bin/chown", "-R", std::to_string(unprivileged_uid()), p.root}); }},
      refused("remove \"" + too_long + "\"", "path too long for its backup name, refused: " + too_long),
      refused("patch \"a.patch\" \"" + too_long + "\"", "path too long for its backup name, refused: " + too_long),
      refused("remove \"/etc/hostname\"", "unsafe path refused: /etc/hostname"),
      refused("add \"a/../../x\"", "unsafe path refused: a/../../x"),
      refused("remove \"lib/..\"", "unsafe path refused: lib/.."),
      refused("add-if \"keep\" \"/tmp/abs\"", "unsafe path refused: /tmp/abs"),
      refused("patch-if \"g\" \"a.patch\" \"../x\"", "unsafe path refused: ../x"),
      {"the longest path has a whole backup name", {{longest, "deep", 0640}},
       "remove \"" + longest + "\"\nadd \"missing\"\n", {},
       "PREPARE REMOVE " + longest + "|PREPARE ADD missing|EXECUTE REMOVE " + longest + "|EXECUTE ADD missing|"
       "### execution failed|FINISH REMOVE " + longest + "|FINISH ADD missing|" + kNoBackup +
           "missing.kiv-backup,2|failed: 6",
       {{longest, "deep", 0640}}},
      {"dots inside names are fine, guards are not restricted", {{"g", "guard"}},
       "add \"..hidden/x..y\"\nadd-if \"../install/g\" \"p.cfg\"\n", {{"..hidden/x..y", "h"}, {"p.cfg", "p"}},
       phases({"ADD ..hidden/x..y", "ADD p.cfg"}), {{"g", "guard"}, {"..hidden/x..y", "h"}, {"p.cfg", "p"}}},
      {"a remove the user may not make is refused in Prepare", lib, "add \"new\"\nremove \"lib/a.so\"\n",
       {{"new", "n"}}, "PREPARE ADD new|PREPARE REMOVE lib/a.so|access failed: 13|failed: 7", lib, as_user()},
      {"an add over a file whose backup cannot be made", lib, "add \"lib/a.so\"\n", {{"lib/a.so", "new"}},
       "PREPARE ADD lib/a.so|EXECUTE ADD lib/a.so|rename failed: 13|"
       "### execution failed|FINISH ADD lib/a.so|" + std::string(kNoBackup) + "lib/a.so.kiv-backup,2|failed: 7",
       lib, as_user()},
      {"an add of a file that cannot be created", lib, "add \"lib/b.so\"\n", {{"lib/b.so", "new"}},
       "PREPARE ADD lib/b.so|EXECUTE ADD lib/b.so|### execution failed|FINISH ADD lib/b.so|" +
           std::string(kNoBackup) + "lib/b.so.kiv-backup,2|failed: 7",
       lib, as_user()},
      {"a patch whose backup cannot be made", {{"lib/a.so", "old", 0644}}, "patch \"a.patch\" \"lib/a.so\"\n",
       {{"a.patch", make_patch("old", "new")}},
       "PREPARE PATCH lib/a.so|EXECUTE PATCH lib/a.so|rename failed: 13|"
       "### execution failed|FINISH PATCH lib/a.so|" + std::string(kNoBackup) + "lib/a.so.kiv-backup,2|failed: 7",
       {{"lib/a.so", "old", 0644}}, as_user()},
  });
}

TEST(Actions, Patch) {
  const std::string c_old = "content of c";
  // A patch that passes every check of Prepare but reads past its source
  // (the applier's other bounds are unit rows): the run fails in Execute and
  // Finish restores the earlier changes.
  PatchParts past = patch_parts_for(c_old);
  past.triples = {{13, 0, 0}};
  past.diff = std::string(13, '\0');
  const ActionCase late = {
      "past the source", {{"a", "content of a", 0755}, {"d/b", "content of b", 0600}, {"c", c_old}},
      "patch \"a.patch\" \"a\"\npatch \"b.patch\" \"d/b\"\npatch \"c.patch\" \"c\"\n",
      {{"a.patch", make_patch("content of a", "A")},
       {"b.patch", make_patch("content of b", "a much longer new content of b")}, {"c.patch", encode_patch(past)}},
      "PREPARE PATCH a|PREPARE PATCH d/b|PREPARE PATCH c|EXECUTE PATCH a|EXECUTE PATCH d/b|"
      "EXECUTE PATCH c|### execution failed|FINISH PATCH a|FINISH PATCH d/b|FINISH PATCH c|failed: 8",
      {{"a", "content of a", 0755}, {"d/b", "content of b", 0600}, {"c", c_old}}};
  // Version 2 on a file that is not ELF: the transforms change nothing in
  // it, but the indexed one (2) follows it with an empty table (8 zero bytes).
  auto version2 = [](const std::string& from, const std::string& to, uint32_t transform, uint32_t crc_flip = 0) {
    std::string table = transform == 2 ? std::string(8, '\0') : "";
    PatchParts p = patch_parts_for(from);
    std::string patch = make_patch(from + table, to + table);
    p.version = 2;
    p.transform = transform;
    p.result_crc = compute_crc(to.data(), to.size()) ^ crc_flip;
    p.triples = {decode_control_triple(reinterpret_cast<const unsigned char*>(patch.data()) + kPatchHeaderSize)};
    p.diff = patch.substr(kPatchHeaderSize + kControlTripleSize, p.triples[0].diff_length);
    p.extra = patch.substr(kPatchHeaderSize + kControlTripleSize + p.diff.size());
    return encode_patch(p);
  };
  // A check of Prepare fails: the valid patch before it changes nothing either.
  const std::string good = make_patch("content of a", "new");
  std::string bad_magic = good;
  bad_magic[0] = 'X';
  auto early = [&](const char* name, const char* target, const std::string& patch, const std::string& log) {
    std::vector<TreeFile> before = {{"a", "content of a", 0640}, {"b", "content of b", 0755}};
    return ActionCase{name, before, std::string("patch \"b.patch\" \"b\"\npatch \"a.patch\" \"") + target + "\"\n",
                      {{"b.patch", make_patch("content of b", "B")}, {"a.patch", patch}},
                      "PREPARE PATCH b|PREPARE PATCH " + std::string(target) + "|" + log, before};
  };
  check_action_cases({
      {"patch and patch-if with its guard", {{"lib/x", "old", 0640}, {"lib/y", "yy", 0777}, {"g", ""}},
       "patch \"x.patch\" \"lib/x\"\npatch-if \"g\" \"y.patch\" \"lib/y\"\npatch-if \"no\" \"x.patch\" \"lib/x\"\n",
       {{"x.patch", make_patch("old", "NEW!")}, {"y.patch", make_patch("yy", "Y")}},
       phases({"PATCH lib/x", "PATCH lib/y"}), {{"lib/x", "NEW!", 0640}, {"lib/y", "Y", 0755}, {"g", ""}}},
      {"a file patched twice, then a failure: the content from before the run", {{"a", "original"}, {"z", "zzz"}},
       "patch \"one\" \"a\"\npatch \"two\" \"a\"\npatch \"broken\" \"z\"\n",
       {{"one", make_patch("original", "first")}, {"two", make_patch("original", "second")},
        {"broken", [] {
           PatchParts b = patch_parts_for("zzz");
           b.triples = {{4, 0, 0}};
           b.diff = std::string(4, '\0');
           return encode_patch(b);
         }()}},
       "PREPARE PATCH a|PREPARE PATCH a|PREPARE PATCH z|EXECUTE PATCH a|EXECUTE PATCH a|EXECUTE PATCH z|"
       "### execution failed|FINISH PATCH a|FINISH PATCH a|" + std::string(kNoBackup) + "a.kiv-backup,2|"
       "FINISH PATCH z|failed: 8",
       {{"a", "original"}, {"z", "zzz"}}},
      {"a file patched twice keeps the second result", {{"a", "original"}}, "patch \"one\" \"a\"\npatch \"two\" \"a\"\n",
       {{"one", make_patch("original", "first")}, {"two", make_patch("original", "second")}},
       phases({"PATCH a", "PATCH a"}), {{"a", "second"}}},
      {"a symbolic link becomes a regular file", {{"lib/real.so", "v1", 0755}, {"lib/link.so", "real.so", 0}},
       "patch \"p\" \"lib/link.so\"\n", {{"p", make_patch("v1", "v2")}}, phases({"PATCH lib/link.so"}),
       {{"lib/real.so", "v1", 0755}, {"lib/link.so", "v2", 0755}}},
      {"the backup of an interrupted run is the source", {{"lib/x", "half"}, {"lib/x.kiv-backup", "content"}},
       "patch \"p\" \"lib/x\"\n", {{"p", make_patch("content", "new")}},
       "PREPARE PATCH lib/x|source taken from the backup of an interrupted run: lib/x.kiv-backup|"
       "EXECUTE PATCH lib/x|FINISH PATCH lib/x|leftover backup of an interrupted run removed: lib/x.kiv-backup|"
       "succeeded",
       {{"lib/x", "new"}}},
      {"version 2 patches on a file that is not ELF", {{"a", "content of a"}, {"b", "content of b", 0700}},
       "patch \"a.patch\" \"a\"\npatch \"b.patch\" \"b\"\n",
       {{"a.patch", version2("content of a", "new a", 1)}, {"b.patch", version2("content of b", "a new b", 2)}},
       phases({"PATCH a", "PATCH b"}), {{"a", "new a"}, {"b", "a new b", 0700}}},
      {"a version 2 patch that does not rebuild the file it was made for", {{"a", "content of a"}},
       "patch \"a.patch\" \"a\"\n", {{"a.patch", version2("content of a", "new a", 2, 1)}},
       "PREPARE PATCH a|EXECUTE PATCH a|patched file fails its CRC check|### execution failed|FINISH PATCH a|failed: 8",
       {{"a", "content of a"}}},
      {"a last argument without its quote runs to the end of the line", {{"a b", "old"}}, "patch \"p\" \"a b\n",
       {{"p", make_patch("old", "new")}}, phases({"PATCH a b"}), {{"a b", "new"}}},
      early("CRC mismatch", "a", make_patch("CONTENT OF A", "x"), "CRC check failed|LoadSourceFile failed|failed: 4"),
      early("wrong size", "a", make_patch("content of a!", "x"), "LoadSourceFile failed|failed: 8"),
      early("installed file missing", "missing", good, "failed: 6"),
      early("wrong magic", "a", bad_magic, "failed: 8"),
      // Updaters before version 2 refuse it the same way, without the line.
      early("a patch format this updater does not know", "a", "ZQDIFF30" + good.substr(8),
            "patch format not known: ZQDIFF30|failed: 8"),
      early("a transform this updater does not know", "a", version2("content of a", "new", 3),
            "patch transform not known: 3|failed: 8"),
      early("patch shorter than its header", "a", good.substr(0, 31), "failed: 6"),
      early("patch one byte short", "a", good.substr(0, good.size() - 1), "failed: 8"),
      early("patch one byte long", "a", good + "x", "failed: 8"),
      // 32 + 0xFFFFFFFF + 1 is 32 modulo 2^32: a header alone must not match.
      early("block sizes beyond 32 bits", "a", encode_header(12, compute_crc("content of a", 12), ~0u, 1, 0),
            "failed: 8"),
      {"entry missing", {{"a", "x"}}, "patch \"other\" \"a\"\n", {}, "PREPARE PATCH a|failed: 6", {{"a", "x"}}},
      late,
      {"a patched file whose close fails", {{"a", "old", 0640}}, "patch \"p\" \"a\"\n", {{"p", make_patch("old", "new")}},
       "PREPARE PATCH a|EXECUTE PATCH a|cannot write a: 5|### execution failed|FINISH PATCH a|failed: 7",
       {{"a", "old", 0640}},
       with_faults({"FAULT_PATH=a", "FAULT_CLOSE_ERRNO=5"})},
  });
}

TEST(Actions, ManifestAndPackage) {
  auto syntax = [](const std::string& line, const std::string& log) {
    return ActionCase{line.c_str(), {{"a", "old"}, {"g", ""}}, "patch \"a.patch\" \"a\"\n" + line + "\n",
                      {{"a.patch", make_patch("old", "new")}}, log + "|failed: 5", {{"a", "old"}, {"g", ""}}};
  };
  auto raw = [](const char* name, std::function<void(const Paths&)> setup) {
    return ActionCase{name, {}, "add \"x\"\n", {{"x", "x"}}, "failed: 6", {}, {}, setup};
  };
  auto fine = [](const char* manifest) { return ActionCase{manifest, {}, manifest, {}, "succeeded", {}}; };
  check_action_cases({
      raw("no package", [](const Paths& p) { unlink((p.updates + "/update.zav").c_str()); }),
      raw("not a package", [](const Paths& p) { write_file(p.updates + "/update.zav", "ZAV1 not really"); }),
      raw("no manifest in it", [](const Paths& p) { make_package(p.updates + "/update.zav", {{"x", "x"}}); }),
      fine("# only a comment\n\n# another\n"), fine("# crlf\r\n\r\n#x\r\n"), fine(""), fine("#no final newline"),
      syntax("frobnicate \"a\"", "unknown manifest keyword: frobnicate \"a\""),
      syntax("  # note", "unknown manifest keyword:   # note"),
      syntax("   \t ", "manifest line without keyword:    \t "),
      syntax("Remove \"a\"\r", "unknown manifest keyword: Remove \"a\""),
      syntax("patch", "bad manifest line: patch"),
      syntax("patch \"a.patch\"", "bad manifest line: patch \"a.patch\""),
      syntax("patch \"a.patch\"\"a\"", "bad manifest line: patch \"a.patch\"\"a\""),
      syntax("patch-if", "bad manifest line: patch-if"),
      syntax("patch-if \"g\"", "bad manifest line: patch-if \"g\""),
      syntax("patch-if \"g\" \"a.patch\"", "bad manifest line: patch-if \"g\" \"a.patch\""),
      syntax("add", "bad manifest line: add"),
      syntax("add-if \"g\"", "bad manifest line: add-if \"g\""),
  });
}

}  // namespace
