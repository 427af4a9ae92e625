// Runs that are interrupted or hit a fault at every point they can: a write
// that fails, a SIGKILL, files that change under the run. Nothing that existed
// before the run may be lost, and running the package again must recover.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/patch_builder.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::string bytes(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; i++) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(i % 97 < 60 ? 'a' + i % 26 : seed >> 24);
  }
  return s;
}

// An installation, a package and the tree the package makes of it.
struct Scenario {
  std::vector<TreeFile> before;
  std::string manifest;
  std::vector<PackageFile> entries;
  std::vector<TreeFile> after;
};

// Adds, replaces, patches and removes, with files above the 8 KiB copy size.
Scenario mixed_scenario() {
  std::string app1 = bytes(20000, 1), app2 = bytes(23000, 2);
  std::string lib1 = bytes(30000, 3), lib2 = lib1;
  for (size_t i = 0; i < lib2.size(); i += 999) lib2[i] ^= 0x5a;
  lib2 += "appended";
  std::string conf1 = "setting=1\n", conf2 = "setting=2\nother=3\n";
  Scenario s;
  s.before = {{"bin/app", app1, 0755},
              {"lib/core.so", lib1, 0640},
              {"etc/conf", conf1, 0600},
              {"share/old.txt", "old", 0644},
              {"share/keep.txt", "keep", 0644}};
  s.manifest =
      "add \"bin/app\"\n"
      "patch \"lib/core.so.patch\" \"lib/core.so\"\n"
      "add \"share/new/a.txt\"\n"
      "patch \"etc/conf.patch\" \"etc/conf\"\n"
      "remove \"share/old.txt\"\n";
  s.entries = {{"bin/app", app2, 0755},
               {"lib/core.so.patch", make_patch(lib1, lib2), 0644},
               {"share/new/a.txt", bytes(9000, 4), 0644},
               {"etc/conf.patch", make_patch(conf1, conf2), 0644}};
  s.after = {{"bin/app", app2, 0755},          {"lib/core.so", lib2, 0640},
             {"etc/conf", conf2, 0600},         {"share/keep.txt", "keep", 0644},
             {"share/new/a.txt", bytes(9000, 4)}};
  return s;
}

// Whole files only: a rerun of such a package always completes.
Scenario whole_files_scenario() {
  Scenario s;
  s.before = {{"bin/app", bytes(20000, 5), 0755},
              {"share/doc.txt", bytes(100, 6), 0644},
              {"share/old.txt", "old", 0600}};
  s.manifest =
      "add \"bin/app\"\n"
      "add \"share/doc.txt\"\n"
      "add \"plugins/p/x.so\"\n"
      "remove \"share/old.txt\"\n";
  s.entries = {{"bin/app", bytes(17000, 7), 0755},
               {"share/doc.txt", bytes(30000, 8), 0644},
               {"plugins/p/x.so", bytes(12000, 9), 0755}};
  s.after = {{"bin/app", bytes(17000, 7), 0755},
             {"share/doc.txt", bytes(30000, 8), 0644},
             {"plugins/p/x.so", bytes(12000, 9), 0755}};
  return s;
}

struct Installation {
  TempDir root;
  std::string install = root / "install";
  std::string updates = root / "updates";
  explicit Installation(const Scenario& s) {
    make_dirs(install);
    plant_tree(install, s.before);
    make_update(updates, s.manifest, s.entries);
  }
  std::string status() { return read_file(updates + "/update.status"); }
  std::string log() { return read_file(updates + "/update.log"); }
};

int count_backups(const Tree& tree) {
  int n = 0;
  for (const auto& [name, node] : tree) {
    const std::string suffix = ".kiv-backup";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      n++;
  }
  return n;
}

// After a failed run: every file from before has its old content and mode,
// no backup is left, and only what the run newly created is extra.
std::string check_restored(const Scenario& s, const Tree& actual) {
  Tree expected = tree_of(s.before);
  Tree after = tree_of(s.after);
  for (const auto& [name, node] : actual) {
    if (expected.count(name) == 0 && after.count(name) != 0) expected[name] = node;
  }
  return tree_diff(expected, actual);
}

// After a kill: every file from before has its old content in place or in
// its backup beside it. Once the Finish phase has begun, a file may also be
// in its new state (or gone, when the package removes it).
std::string check_nothing_lost(const Scenario& s, const Tree& actual, bool finishing) {
  Tree after = tree_of(s.after);
  std::string problems;
  for (const TreeFile& f : s.before) {
    auto in_place = actual.find(f.path);
    auto backup = actual.find(f.path + ".kiv-backup");
    bool kept = in_place != actual.end() && in_place->second.content == f.content;
    bool backed_up = backup != actual.end() && backup->second.content == f.content;
    bool done = false;
    if (finishing) {
      auto new_state = after.find(f.path);
      done = new_state == after.end() ? in_place == actual.end()
                                      : in_place != actual.end() &&
                                            in_place->second.content == new_state->second.content;
    }
    if (!kept && !backed_up && !done) problems += "lost: " + f.path + "\n";
  }
  return problems;
}

TEST(InterruptedRuns, WriteFailingAtEveryPointLosesNothing) {
  Scenario s = mixed_scenario();
  int points = 0;
  for (int k = 1; k < 400; k++) {
    SCOPED_TRACE("write " + std::to_string(k));
    Installation inst(s);
    RunOptions options;
    // Installation paths are relative; the update directory's are not.
    options.env = fault_shim_env({"FAULT_PATH=[!/]*", "FAULT_WRITE_AT=" + std::to_string(k),
                                  "FAULT_WRITE_ERRNO=28", "FAULT_FWRITE=1"});
    RunResult r = run_updater(inst.install, inst.updates, {}, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Tree tree = snapshot_tree(inst.install);
    if (inst.status() == "succeeded\n") {
      // Past the last write: the run is whole.
      EXPECT_EQ(tree_diff(tree_of(s.after), tree), "");
      break;
    }
    points++;
    EXPECT_EQ(inst.status(), "failed: 7\n");
    EXPECT_NE(inst.log().find("### execution failed\nFINISH ADD bin/app\n"), std::string::npos);
    EXPECT_EQ(check_restored(s, tree), "");
    EXPECT_EQ(count_backups(tree), 0);
  }
  EXPECT_GT(points, 10);
  RecordProperty("fault_points", points);
  printf("write fault points tried and survived: %d\n", points);
}

// Kills the run at each of its events, checks that nothing is lost, then
// runs the same package again and counts the backups left after the reruns.
void kill_at_every_point(const Scenario& s, bool rerun_must_succeed) {
  int events = 0;
  {
    Installation probe(s);
    RunOptions options;
    options.env = fault_shim_env({"FAULT_EVENTS_FILE=" + probe.root / "events"});
    run_updater(probe.install, probe.updates, {}, options);
    ASSERT_EQ(probe.status(), "succeeded\n");
    events = std::stoi(read_file(probe.root / "events"));
  }
  ASSERT_GT(events, 20);
  int killed = 0, rerun_succeeded = 0, strays = 0;
  for (int k = 1; k <= events; k++) {
    SCOPED_TRACE("kill at event " + std::to_string(k) + " of " + std::to_string(events));
    Installation inst(s);
    RunOptions options;
    options.env = fault_shim_env({"FAULT_KILL_AT=" + std::to_string(k)});
    RunResult r = run_updater(inst.install, inst.updates, {}, options);
    if (r.signal != SIGKILL) continue;  // the run had fewer events this time
    killed++;
    bool finishing = inst.log().find("FINISH ") != std::string::npos;
    EXPECT_EQ(check_nothing_lost(s, snapshot_tree(inst.install), finishing), "");

    RunResult again = run_updater(inst.install, inst.updates);
    EXPECT_EQ(again.exit_code, 0);
    EXPECT_EQ(again.signal, 0);
    std::string status = inst.status();
    EXPECT_TRUE(status == "succeeded\n" || status.rfind("failed: ", 0) == 0) << status;
    EXPECT_NE(inst.log().find("calling QuitProgressUI\n"), std::string::npos);
    Tree tree = snapshot_tree(inst.install);
    if (status == "succeeded\n") {
      rerun_succeeded++;
      EXPECT_EQ(tree_diff(tree_of(s.after), tree), "");
    } else {
      EXPECT_FALSE(rerun_must_succeed) << status << inst.log();
    }
    strays += count_backups(tree);
  }
  EXPECT_GT(killed, events / 2);
  printf("kill points tried and survived: %d of %d events; reruns succeeded: %d; "
         "stray backups after the reruns: %d\n",
         killed, events, rerun_succeeded, strays);
  if (rerun_must_succeed) {
    EXPECT_EQ(strays, 0);
  }
}

TEST(InterruptedRuns, KilledWholeFilesRunLosesNothingAndARerunCompletes) {
  kill_at_every_point(whole_files_scenario(), true);
}

TEST(InterruptedRuns, KilledPatchingRunLosesNothingAndARerunEndsCleanly) {
  kill_at_every_point(mixed_scenario(), false);
}

TEST(InterruptedRuns, RerunPatchesFromTheBackupOfAnInterruptedPatch) {
  Scenario s = mixed_scenario();
  Installation inst(s);
  // As a run killed in the middle of patching lib/core.so leaves it: the old
  // content in the backup, the file half written.
  std::string lib1 = s.before[1].content;
  write_file(inst.install + "/lib/core.so.kiv-backup", lib1, 0640);
  write_file(inst.install + "/lib/core.so", lib1.substr(0, 5000), 0640);
  run_updater(inst.install, inst.updates);
  EXPECT_EQ(inst.status(), "succeeded\n");
  EXPECT_EQ(tree_diff(tree_of(s.after), snapshot_tree(inst.install)), "");
  // The half-written file has the wrong size: no CRC is computed for it.
  EXPECT_NE(inst.log().find("PREPARE PATCH lib/core.so\n"
                            "source taken from the backup of an interrupted run: "
                            "lib/core.so.kiv-backup\n"),
            std::string::npos)
      << inst.log();

  // The same, but with the file gone and a later action failing: the adopted
  // backup is restored, so the old content is back in place.
  Installation failing(s);
  write_file(failing.install + "/lib/core.so.kiv-backup", lib1, 0640);
  unlink((failing.install + "/lib/core.so").c_str());
  make_update(failing.updates, s.manifest + "add \"no-such-entry\"\n", s.entries);
  run_updater(failing.install, failing.updates);
  EXPECT_EQ(failing.status(), "failed: 6\n");
  EXPECT_EQ(check_restored(s, snapshot_tree(failing.install)), "");
}

// Starts the updater with the shim told to stop it before it opens a path
// matching `stop_path`, runs `while_stopped`, and lets it go on.
template <typename Action>
void run_with_pause(Installation& inst, const std::string& stop_path, Action while_stopped) {
  RunOptions options;
  options.cwd = inst.install;
  options.env = fault_shim_env({"FAULT_STOP_PATH=" + stop_path});
  Child child;
  ASSERT_TRUE(start_program({updater_bin(), inst.updates, "0"}, options, inst.root / "out", &child));
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, WUNTRACED), child.pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the run ended without reaching " << stop_path;
  while_stopped();
  kill(child.pid, SIGCONT);
  EXPECT_EQ(wait_program(&child, 60), 0);
}

TEST(InterruptedRuns, FilesChangingUnderTheRun) {
  Scenario s = mixed_scenario();
  {
    SCOPED_TRACE("package removed once the run has it open");
    Installation inst(s);
    run_with_pause(inst, "bin/app.kiv-backup",
                   [&] { unlink((inst.updates + "/update.zav").c_str()); });
    EXPECT_EQ(inst.status(), "succeeded\n");
    EXPECT_EQ(tree_diff(tree_of(s.after), snapshot_tree(inst.install)), "");
  }
  {
    // With a last entry larger than any read buffer, so that the truncation
    // is seen whatever the reader has buffered already.
    SCOPED_TRACE("package truncated once the run has it open");
    Scenario t = s;
    std::string noise = random_bytes(300000, 2463534242u);
    t.manifest += "add \"share/new/noise.bin\"\n";
    t.entries.push_back({"share/new/noise.bin", noise, 0644});
    t.after.push_back({"share/new/noise.bin", noise, 0644});
    Installation inst(t);
    run_with_pause(inst, "bin/app.kiv-backup",
                   [&] { ASSERT_EQ(truncate((inst.updates + "/update.zav").c_str(), 64), 0); });
    EXPECT_EQ(inst.status(), "failed: 6\n");
    EXPECT_EQ(check_restored(t, snapshot_tree(inst.install)), "");
  }
  {
    // Prepare checked and loaded lib/core.so; the patch is applied to that
    // verified content, so the result is the new version whatever was
    // written to the file in between, and a failure would restore what the
    // file held when it was backed up.
    SCOPED_TRACE("source changed between Prepare and Execute");
    Installation inst(s);
    run_with_pause(inst, "bin/app.kiv-backup",
                   [&] { write_file(inst.install + "/lib/core.so", "changed by someone", 0640); });
    EXPECT_EQ(inst.status(), "succeeded\n");
    EXPECT_EQ(tree_diff(tree_of(s.after), snapshot_tree(inst.install)), "") << inst.log() << read_file(inst.root / "out");
  }
}

TEST(InterruptedRuns, UnwritableDirectoriesStopTheRunAndRestore) {
  uid_t user = unprivileged_uid();
  if (user == 0) GTEST_SKIP() << "no unprivileged user to run as";
  Scenario s = mixed_scenario();
  Installation inst(s);
  chmod(inst.updates.c_str(), 0777);
  // Everything but etc/ may be written: the patch of etc/conf fails when it
  // backs the file up, after bin/app and lib/core.so were changed.
  for (const char* dir : {"", "/bin", "/lib", "/share"}) chmod((inst.install + dir).c_str(), 0777);
  chmod((inst.install + "/etc").c_str(), 0555);
  for (const TreeFile& f : s.before) chmod((inst.install + "/" + f.path).c_str(), 0666);
  Scenario readable = s;
  for (TreeFile& f : readable.before) f.mode = 0666;
  RunOptions options;
  options.uid = user;
  run_updater(inst.install, inst.updates, {}, options);
  EXPECT_EQ(inst.status(), "failed: 7\n");
  EXPECT_NE(inst.log().find("copy_file: failed to open: etc/conf.kiv-backup,13\n"),
            std::string::npos)
      << inst.log();
  Tree tree = snapshot_tree(inst.install);
  tree["etc"].mode = 0755;
  for (const char* dir : {"bin", "lib", "share"}) tree[dir].mode = 0755;
  EXPECT_EQ(check_restored(readable, tree), "");
}

}  // namespace
