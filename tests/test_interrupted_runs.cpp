// Runs that hit a fault or are killed at every point they can, and files that
// change under a run: nothing that existed before is lost, and running the
// package again recovers.
#include <gtest/gtest.h>
#include <signal.h>
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

// Adds, patches and removes, with files above the 8 KiB copy size. Without
// `patches`, whole files only: a rerun of such a package always completes.
Scenario scenario(bool patches) {
  std::string app1 = random_bytes(20000, 1), app2 = random_bytes(23000, 2), lib1 = random_bytes(30000, 3);
  std::string lib2 = lib1, conf1 = "setting=1\n", conf2 = "setting=2\nother=3\n";
  for (size_t i = 0; i < lib2.size(); i += 999) lib2[i] ^= 0x5a;
  Scenario s{{{"bin/app", app1, 0755}, {"lib/core.so", lib1, 0640}, {"etc/conf", conf1, 0600},
              {"share/old.txt", "old"}, {"share/keep.txt", "keep"}},
             "add \"bin/app\"\nadd \"share/new/a.txt\"\nremove \"share/old.txt\"\n",
             {{"bin/app", app2, 0755}, {"share/new/a.txt", random_bytes(9000, 4)}},
             {{"bin/app", app2, 0755}, {"share/new/a.txt", random_bytes(9000, 4)}, {"share/keep.txt", "keep"}}};
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

// After a kill: every file from before has its old content in place or in
// its backup. Once Finish has begun, it may also be in its new state.
std::string check_nothing_lost(const Scenario& s, const Tree& actual, bool finishing) {
  Tree after = tree_of(s.after);
  std::string problems;
  for (const TreeFile& f : s.before) {
    auto in_place = actual.find(f.path), backup = actual.find(f.path + ".kiv-backup");
    auto is = [&](Tree::const_iterator it, const std::string& content) {
      return it != actual.end() && it->second.content == content;
    };
    auto wanted = after.find(f.path);
    bool done = finishing && (wanted == after.end() ? in_place == actual.end() : is(in_place, wanted->second.content));
    if (!is(in_place, f.content) && !is(backup, f.content) && !done) problems += "lost: " + f.path + "\n";
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
// renames), checks that nothing is lost, then runs the same package again.
void kill_at_every_point(const Scenario& s, bool rerun_must_succeed) {
  int events = 0;
  {
    Installation probe(s);
    probe.run({"FAULT_EVENTS_FILE=" + probe.root / "events"});
    ASSERT_EQ(probe.status(), "succeeded\n");
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
    if (status == "succeeded\n") {
      EXPECT_EQ(tree_diff(tree_of(s.after), snapshot_tree(inst.install)), "");  // and no backup left
    } else {
      EXPECT_FALSE(rerun_must_succeed) << status << inst.log();
      EXPECT_EQ(status.rfind("failed: ", 0), 0u) << status;
    }
  }
  EXPECT_GT(killed, events / 2);
}

TEST(InterruptedRuns, KilledWholeFilesRunLosesNothingAndARerunCompletes) { kill_at_every_point(scenario(false), true); }

TEST(InterruptedRuns, KilledPatchingRunLosesNothingAndARerunEndsCleanly) { kill_at_every_point(scenario(true), false); }

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
