// Runs that hit a fault or are killed at every point they can, and files that
// change under a run: nothing that existed before is lost, and running the
// package again recovers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// An installation, a package and the tree the package makes of it.
struct Scenario {
  std::vector<TreeFile> before;
  std::string manifest;
  std::vector<PackageFile> entries;
  std::vector<TreeFile> after;
};

// Adds, patches and removes, a removed directory, a retargeted link and a
// changed mode, with files above the 8 KiB copy size. Without `patches`,
// whole files only: a rerun of such a package always completes.
Scenario scenario(bool patches) {
  std::string app1 = random_bytes(20000, 1), app2 = random_bytes(23000, 2), lib1 = random_bytes(30000, 3);
  std::string lib2 = lib1, conf1 = "setting=1\n", conf2 = "setting=2\nother=3\n";
  for (size_t i = 0; i < lib2.size(); i += 999) lib2[i] ^= 0x5a;
  Scenario s{{{"bin/app", app1, 0755}, {"lib/core.so", lib1, 0640}, {"etc/conf", conf1, 0600},
              {"share/old.txt", "old"}, {"share/keep.txt", "keep"}, {"plugins/old/x.so", "x"},
              {"lib/libfoo.so", "libfoo.so.1", 0}, {"lib/libfoo.so.1", "foo 1"}, {"bin/tool", "#!/bin/sh\n", 0644}},
             "add \"bin/app\"\nadd \"share/new/a.txt\"\nremove \"share/old.txt\"\nremove \"plugins/old/x.so\"\n"
             "rmdir \"plugins/old\"\nadd \"lib/libfoo.so.2\"\nlink \"lib/libfoo.so\" \"libfoo.so.2\"\n"
             "add \"bin/tool\"\n",
             {{"bin/app", app2, 0755}, {"share/new/a.txt", random_bytes(9000, 4)}, {"lib/libfoo.so.2", "foo 2"},
              {"bin/tool", "#!/bin/sh\n", 0755}},
             {{"bin/app", app2, 0755}, {"share/new/a.txt", random_bytes(9000, 4)}, {"share/keep.txt", "keep"},
              {"plugins/", "", 0755}, {"lib/libfoo.so", "libfoo.so.2", 0}, {"lib/libfoo.so.1", "foo 1"},
              {"lib/libfoo.so.2", "foo 2"}, {"bin/tool", "#!/bin/sh\n", 0755}}};
  if (patches) {
    s.manifest += "patch \"lib.patch\" \"lib/core.so\"\npatch \"conf.patch\" \"etc/conf\"\n";
    s.entries.insert(s.entries.end(), {{"lib.patch", make_patch(lib1, lib2 + "tail")}, {"conf.patch", make_patch(conf1, conf2)}});
    s.after.insert(s.after.end(), {{"lib/core.so", lib2 + "tail", 0640}, {"etc/conf", conf2, 0600}});
  } else {
    s.manifest += "add \"lib/core.so\"\nadd \"etc/conf\"\n";
    s.entries.insert(s.entries.end(), {{"lib/core.so", lib2, 0640}, {"etc/conf", conf2, 0600}});
    s.after.insert(s.after.end(), {{"lib/core.so", lib2, 0640}, {"etc/conf", conf2, 0600}});
  }
  return s;
}

struct Installation {
  TempDir root;
  std::string install = root / "install", updates = root / "updates";
  explicit Installation(const Scenario& s) {
    make_dirs(install);
    plant_tree(install, s.before);
    make_update(updates, s.manifest, s.entries);
  }
  std::string status() { return read_file(updates + "/update.status"); }
  std::string log() { return read_file(updates + "/update.log"); }
  RunResult run(const std::vector<std::string>& env = {}) {
    RunOptions options;
    if (!env.empty()) options.env = fault_shim_env(env);
    return run_updater(install, updates, {}, options);
  }
};

// After a failed run: every file from before as it was, no backup left, and
// only what the run newly created is extra.
std::string check_restored(const Scenario& s, const Tree& actual) {
  Tree expected = tree_of(s.before), after = tree_of(s.after);
  for (const auto& [name, node] : actual) {
    if (expected.count(name) == 0 && after.count(name) != 0) expected[name] = node;
  }
  return tree_diff(expected, actual);
}

// After a kill: every file from before has its old content (and mode) in
// place or in its backup, also inside a directory moved aside whole. Once
// Finish has begun, it may also be in its new state.
std::string check_nothing_lost(const Scenario& s, const Tree& actual, bool finishing) {
  Tree after = tree_of(s.after), before = tree_of(s.before);
  std::string problems;
  for (const TreeFile& f : s.before) {
    std::vector<std::string> places = {f.path, f.path + ".kiv-backup"};
    for (size_t at = f.path.find('/'); at != std::string::npos; at = f.path.find('/', at + 1))
      places.push_back(f.path.substr(0, at) + ".kiv-backup" + f.path.substr(at) + ".kiv-backup");
    bool kept = false;
    for (const std::string& p : places) kept = kept || (actual.count(p) != 0 && actual.at(p) == before.at(f.path));
    auto wanted = after.find(f.path);
    auto in_place = actual.find(f.path);
    bool done = finishing && (wanted == after.end() ? in_place == actual.end()
                                                    : in_place != actual.end() && in_place->second == wanted->second);
    if (!kept && !done) problems += "lost: " + f.path + "\n";
  }
  return problems;
}

TEST(InterruptedRuns, WriteFailingAtEveryPointLosesNothing) {
  Scenario s = scenario(true);
  int points = 0;
  for (int k = 1; k < 400; k++, points++) {
    SCOPED_TRACE("write " + std::to_string(k));
    Installation inst(s);
    // Installation paths are relative; the update directory's are not.
    inst.run({"FAULT_PATH=[!/]*", "FAULT_WRITE_AT=" + std::to_string(k), "FAULT_WRITE_ERRNO=28", "FAULT_FWRITE=1"});
    if (inst.status() == "succeeded\n") {  // past the last write
      EXPECT_EQ(tree_diff(tree_of(s.after), snapshot_tree(inst.install)), "");
      break;
    }
    EXPECT_EQ(inst.status(), "failed: 7\n");
    EXPECT_NE(inst.log().find("### execution failed\nFINISH ADD bin/app\n"), std::string::npos);
    EXPECT_EQ(check_restored(s, snapshot_tree(inst.install)), "");
  }
  EXPECT_GT(points, 3);
}

// Kills the run before each of its events (writes, creations, removals,
// renames), checks that nothing is lost, then runs the same package again:
// `rerun` is the status it must end with (any, when null). A rerun that fails
// puts every old path back.
void kill_at_every_point(const Scenario& s, const char* rerun) {
  int events = 0;
  {
    Installation probe(s);
    probe.run({"FAULT_EVENTS_FILE=" + probe.root / "events"});
    events = std::stoi(read_file(probe.root / "events"));
  }
  int killed = 0;
  for (int k = 1; k <= events; k++) {
    SCOPED_TRACE("kill at event " + std::to_string(k) + " of " + std::to_string(events));
    Installation inst(s);
    if (inst.run({"FAULT_KILL_AT=" + std::to_string(k)}).signal != SIGKILL) continue;
    killed++;
    EXPECT_EQ(check_nothing_lost(s, snapshot_tree(inst.install), inst.log().find("FINISH ") != std::string::npos), "");
    RunResult again = inst.run();
    EXPECT_EQ(again.exit_code, 0);
    std::string status = inst.status();
    EXPECT_NE(inst.log().find("calling QuitProgressUI\n"), std::string::npos);
    if (rerun != nullptr) {
      EXPECT_EQ(status, rerun) << inst.log();
    }
    if (status == "succeeded\n") {
      EXPECT_EQ(tree_diff(tree_of(s.after), snapshot_tree(inst.install)), "");  // and no backup left
    } else if (rerun != nullptr) {
      EXPECT_EQ(check_restored(s, snapshot_tree(inst.install)), "") << inst.log();
    }
  }
  EXPECT_GT(killed, events / 2);
}

TEST(InterruptedRuns, KilledWholeFilesRunLosesNothingAndARerunCompletes) {
  kill_at_every_point(scenario(false), "succeeded\n");
}

TEST(InterruptedRuns, KilledFailingRunThenAFailingRerunPutsEveryOldPathBack) {
  Scenario s = scenario(false);
  s.manifest += "add \"missing\"\n";
  kill_at_every_point(s, "failed: 6\n");
}

TEST(InterruptedRuns, KilledPatchingRunLosesNothingAndARerunEndsCleanly) { kill_at_every_point(scenario(true), nullptr); }

// Without leftover backups: what a rerun that fails in Prepare may leave
// beside a new tree.
Tree without_backups(Tree t) {
  for (auto it = t.begin(); it != t.end();) it = it->first.find(".kiv-backup") != std::string::npos ? t.erase(it) : ++it;
  return t;
}

// A run on a file system that loses what was not flushed (support/
// powercut_fs.cpp), which keeps the state a power cut would leave after every
// operation; from each, the updater is started again, as the application
// would. `fails`: the package's last line fails, and so does every rerun.
void cut_power_at_every_point(bool fails) {
  Scenario s = scenario(true);
  if (fails) s.manifest += "add \"missing\"\n";
  TempDir root;
  std::string backing = root / "backing", mount_point = root / "mnt", states = root / "states";
  make_dirs(backing + "/install");
  make_dirs(mount_point);
  make_dirs(states);
  plant_tree(backing + "/install", s.before);
  make_update(backing + "/updates", s.manifest, s.entries);
  write_file(backing + "/.syncfs", "");
  Child fs;
  ASSERT_TRUE(start_program({POWERCUT_FS, backing, mount_point, states}, {}, root / "fs.log", &fs));
  for (int i = 0; i < 500 && !exists(mount_point + "/install") && fs.running(); i++) usleep(10000);
  if (!exists(mount_point + "/install")) {
    GTEST_SKIP() << "no FUSE mount here, power cuts not tested: " << read_file(root / "fs.log");
  }
  RunOptions on_fuse;
  on_fuse.cwd = mount_point + "/install";
  on_fuse.env = fault_shim_env({"FAULT_SYNCFS_MARK=" + mount_point + "/.syncfs"});
  run_program({updater_bin(), mount_point + "/updates", "0"}, on_fuse);
  EXPECT_EQ(umount2(mount_point.c_str(), 0), 0);
  EXPECT_EQ(wait_program(&fs, 10), 0);

  Tree old_tree = tree_of(s.before), new_tree = tree_of(s.after);
  int count = 0;
  for (; exists(states + "/" + std::to_string(count + 1)); count++) {
    std::string state = states + "/" + std::to_string(count + 1), install = state + "/install";
    SCOPED_TRACE("power cut " + std::to_string(count + 1));
    if (read_file(state + "/updates/update.status") == "succeeded\n") {
      EXPECT_EQ(tree_diff(new_tree, without_backups(snapshot_tree(install))), "");
    }
    EXPECT_EQ(run_updater(install, state + "/updates").exit_code, 0);
    std::string status = read_file(state + "/updates/update.status");
    Tree tree = snapshot_tree(install);
    if (fails) {
      EXPECT_EQ(status, "failed: 6\n");
      EXPECT_EQ(check_restored(s, tree), "");
    } else if (status == "succeeded\n") {
      EXPECT_EQ(tree_diff(new_tree, tree), "");
    } else {
      tree = without_backups(tree);
      EXPECT_TRUE(tree == old_tree || tree == new_tree) << status << tree_diff(new_tree, tree);
    }
  }
  EXPECT_GT(count, 50);
}

TEST(InterruptedRuns, PowerCutAtEveryPointOfASuccessfulRunAndAfterIt) { cut_power_at_every_point(false); }

TEST(InterruptedRuns, PowerCutAtEveryPointOfAFailingRunAndItsRestore) { cut_power_at_every_point(true); }

TEST(InterruptedRuns, FilesChangingUnderTheRun) {
  Scenario s = scenario(true);
  struct Case {
    const char* name;
    std::function<void(Installation&)> change;
    bool succeeds;
  } cases[] = {
      {"package removed once open", [](Installation& i) { unlink((i.updates + "/update.zav").c_str()); }, true},
      // With a large last entry, the truncation shows whatever is buffered.
      {"package truncated once open",
       [](Installation& i) { ASSERT_EQ(truncate((i.updates + "/update.zav").c_str(), 64), 0); }, false},
      // The patch is applied to the content Prepare checked and loaded.
      {"source changed after Prepare",
       [](Installation& i) { write_file(i.install + "/lib/core.so", "changed by someone", 0640); }, true},
  };
  s.manifest += "add \"share/new/noise.bin\"\n";
  s.entries.push_back({"share/new/noise.bin", random_bytes(300000, 5)});
  s.after.push_back({"share/new/noise.bin", random_bytes(300000, 5)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst(s);
    RunOptions options;
    options.cwd = inst.install;
    options.env = fault_shim_env({"FAULT_HOLD_PATH=bin/app"});  // its new file, after Prepare
    Child run;
    ASSERT_TRUE(start_program({updater_bin(), inst.updates, "0"}, options, inst.root / "out", &run));
    ASSERT_TRUE(wait_for_text(inst.updates + "/update.log", "EXECUTE ADD bin/app\n"));
    c.change(inst);
    write_file(inst.install + "/bin/app.go", "");
    EXPECT_EQ(wait_program(&run, 60), 0);
    unlink((inst.install + "/bin/app.go").c_str());
    EXPECT_EQ(inst.status(), c.succeeds ? "succeeded\n" : "failed: 6\n");
    Tree tree = snapshot_tree(inst.install);
    EXPECT_EQ(c.succeeds ? tree_diff(tree_of(s.after), tree) : check_restored(s, tree), "") << inst.log();
  }
}

}  // namespace
