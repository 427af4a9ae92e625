// One run at a time: a run that finds the installation locked waits, says so
// in one log line and then runs as usual; the callback program starts
// without the lock.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const std::string kWaited =
    std::string("waiting for another update run to finish\n") + kUnverifiedLine;

// An updater run on a thread of its own, so the test can watch it wait.
struct BackgroundRun {
  std::atomic<bool> done{false};
  RunResult result;
  std::thread thread;
  BackgroundRun(const std::string& install, const std::string& updates,
                RunOptions options = {}) {
    thread = std::thread([this, install, updates, options] {
      result = run_updater(install, updates, {}, options);
      done = true;
    });
  }
  ~BackgroundRun() {
    if (thread.joinable()) thread.join();
  }
};

// Waits up to ten seconds for `path` to appear.
bool wait_for_file(const std::string& path) {
  for (int i = 0; i < 1000 && !exists(path); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return exists(path);
}

void pause_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }

struct RunLockTest : ::testing::Test {
  TempDir root;
  std::string install = root / "install";
  RunLockTest() { write_file(install + "/bin/app", "app\n", 0755); }
};

TEST_F(RunLockTest, WaitsWhileTheInstallationIsLocked) {
  std::string updates = root / "updates";
  make_update(updates, "# after the wait\n");
  int held = open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  BackgroundRun run(install, updates);
  pause_briefly();
  // Still waiting, and not even its log is touched yet.
  EXPECT_FALSE(run.done);
  EXPECT_FALSE(exists(updates + "/update.log"));
  EXPECT_FALSE(exists(updates + "/update.status"));

  close(held);
  run.thread.join();
  EXPECT_EQ(run.result.exit_code, 0);
  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  EXPECT_EQ(read_file(updates + "/update.log"),
            kWaited + "succeeded\ncalling QuitProgressUI\n");
}

// The first run is held at opening its package, holding the lock, until the
// test lets it go, like a package arriving slowly over a network file
// system. The second run, on the same installation with its own update
// directory, must wait for all of it.
TEST_F(RunLockTest, TwoRunsOnOneInstallationRunOneAfterTheOther) {
  std::string slow = root / "slow";
  std::string second = root / "second";
  make_update(slow, "# first run\n");
  make_update(second, "# second run\n");
  Tree before = snapshot_tree(install);

  RunOptions held;
  held.env = fault_shim_env({"FAULT_HOLD_PATH=*/update.zav"});
  BackgroundRun first_run(install, slow, held);
  // Its log is opened once it holds the lock.
  ASSERT_TRUE(wait_for_file(slow + "/update.log"));
  BackgroundRun second_run(install, second);
  pause_briefly();
  EXPECT_FALSE(first_run.done);
  EXPECT_FALSE(second_run.done);
  EXPECT_FALSE(exists(second + "/update.log"));

  write_file(slow + "/update.zav.go", "");
  first_run.thread.join();
  second_run.thread.join();

  EXPECT_EQ(read_file(slow + "/update.log"),
            std::string(kUnverifiedLine) + "succeeded\ncalling QuitProgressUI\n");
  EXPECT_EQ(read_file(slow + "/update.status"), "succeeded\n");
  EXPECT_EQ(read_file(second + "/update.log"),
            kWaited + "succeeded\ncalling QuitProgressUI\n");
  EXPECT_EQ(read_file(second + "/update.status"), "succeeded\n");
  // The second run began only after the first had written its status.
  struct stat first_status, second_log;
  ASSERT_EQ(stat((slow + "/update.status").c_str(), &first_status), 0);
  ASSERT_EQ(stat((second + "/update.log").c_str(), &second_log), 0);
  EXPECT_LE(std::chrono::seconds(first_status.st_mtim.tv_sec) +
                std::chrono::nanoseconds(first_status.st_mtim.tv_nsec),
            std::chrono::seconds(second_log.st_mtim.tv_sec) +
                std::chrono::nanoseconds(second_log.st_mtim.tv_nsec));
  EXPECT_EQ(tree_diff(before, snapshot_tree(install)), "");
}

// An installation directory that cannot be opened cannot carry the lock; the
// run says so and goes on as it always did rather than strand the user.
TEST_F(RunLockTest, UnlockableInstallationIsUpdatedWithALogLine) {
  uid_t user = unprivileged_uid();
  if (user == 0) GTEST_SKIP() << "no unprivileged user";
  std::string updates = root / "updates";
  make_update(updates, "# no lock\n");
  chmod(updates.c_str(), 0777);
  chmod(install.c_str(), 0311);  // searchable and writable, not readable
  RunOptions options;
  options.uid = user;
  run_updater(install, updates, {}, options);
  chmod(install.c_str(), 0755);
  EXPECT_EQ(read_file(updates + "/update.status"), "succeeded\n");
  EXPECT_EQ(read_file(updates + "/update.log"),
            "cannot lock the installation directory: 13\n" + std::string(kUnverifiedLine) +
                "succeeded\ncalling QuitProgressUI\n");
}

TEST_F(RunLockTest, CallbackProgramDoesNotHoldTheLock) {
  std::string updates = root / "updates";
  std::string record = root / "record";
  make_update(updates, "# then relaunch\n");
  // The callback runs in the installation and tries the lock without waiting.
  std::string script = "if flock -n . true; then echo free; else echo held; fi > '" + record +
                       "'; ls -l /proc/self/fd | grep -c '" + install + "$' >> '" + record + "'; true";
  RunResult r = run_updater(install, updates, {install, "/bin/sh", "-c", script});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(updates + "/update.log"),
            std::string(kUnverifiedLine) + "succeeded\ncalling QuitProgressUI\n");
  // Free, and no descriptor of the installation directory was inherited.
  EXPECT_EQ(read_file(record), "free\n0\n");
}

}  // namespace
