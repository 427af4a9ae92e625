// The updater's command line, the relaunch of the application, and the lock
// that lets one run at a time change an installation.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const std::string kDone = kUnverifiedLine + std::string("succeeded\ncalling QuitProgressUI\n");

struct DriverTest : ::testing::Test {
  TempDir root;
  std::string install = root / "install", updates = root / "updates";
  DriverTest() {
    make_dirs(install);
    make_update(updates, "# nothing\n");
  }
  RunResult run(const std::vector<std::string>& args) {
    RunOptions options;
    options.cwd = install;
    std::vector<std::string> argv = {updater_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, options);
  }
};

TEST_F(DriverTest, ArgumentsToolkitOptionsAndParentId) {
  const std::string usage = "Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n";
  const std::string refused = "updater: the update directory path must be 1 to 1005 bytes long\n";
  std::string too_long = updates;  // 1006 bytes
  while (too_long.size() < 900) too_long += "/" + std::string(100, 'd');
  make_dirs(too_long += "/" + std::string(1006 - too_long.size() - 1, 'e'));
  for (auto [args, message] : {std::pair{std::vector<std::string>{}, usage}, {{updates}, usage},
                               {{"--display=:12345", updates}, usage}, {{"", "0"}, refused}, {{too_long, "0"}, refused}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out + r.err, message);
    EXPECT_FALSE(exists(updates + "/update.log"));
    EXPECT_FALSE(exists(too_long + "/update.log"));
  }
  // Toolkit options go before the arguments are counted; a parent id that
  // is not a number is not waited for.
  for (auto args : {std::vector<std::string>{"--display", ":12345", updates, "0"}, {updates, "not-a-pid"}}) {
    EXPECT_EQ(run(args).exit_code, 0);
    EXPECT_EQ(read_file(updates + "/update.log"), kDone);
  }
  // Started without standard input, the run still holds its lock (on descriptor 0, say).
  RunOptions options;
  options.cwd = install;
  EXPECT_EQ(run_program({"/bin/sh", "-c", "exec \"$0\" \"$@\" <&-", updater_bin(), updates, "0"}, options).exit_code, 0);
  EXPECT_EQ(read_file(updates + "/update.log"), kDone);
}

TEST_F(DriverTest, AStatusFileThatCannotBeWrittenIsReported) {
  make_dirs(updates + "/update.status");
  RunResult r = run({updates, "0"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "cannot write " + updates + "/update.status: 21\n");
  EXPECT_EQ(read_file(updates + "/update.log"), kDone);
}

TEST_F(DriverTest, RelaunchesTheCallbackAfterSuccessAndFailure) {
  std::string app = root / "app", record = root / "record";
  write_file(app + "/run",
             "#!/bin/sh\n{ printf '[%s]' \"$0\" \"$@\"; echo; pwd;\n"
             "  if [ \"${NO_EM_RESTART+set}\" = set ]; then echo \"env=[$NO_EM_RESTART]\"; fi\n"
             "  cat '" + updates + "/update.status'; } > '" + record + "'\n", 0755);
  RunResult r = run({updates, "0", app, app + "/run", "-x", "two words"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(read_file(record), "[" + app + "/run][-x][two words]\n" + app + "\nenv=[]\nsucceeded\n");
  unlink((updates + "/update.zav").c_str());
  run({updates, "0", app, app + "/run"});
  EXPECT_EQ(read_file(record), "[" + app + "/run]\n" + app + "\nenv=[]\nfailed: 6\n");
  // A working directory that does not exist is ignored.
  run({updates, "0", root / "nowhere", app + "/run"});
  EXPECT_EQ(read_file(record), "[" + app + "/run]\n" + install + "\nenv=[]\nfailed: 6\n");
  // A program that cannot start, or none, fails silently.
  for (auto args : {std::vector<std::string>{updates, "0", root.path, root / "none"}, {updates, "0", app}}) {
    r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
}

TEST_F(DriverTest, CallbackDoesNotHoldTheLock) {
  std::string record = root / "record";
  std::string script = "if flock -n . true; then echo free; else echo held; fi > '" + record +
                       "'; ls -l /proc/self/fd | grep -c '" + install + "$' >> '" + record + "'; true";
  EXPECT_EQ(run({updates, "0", install, "/bin/sh", "-c", script}).exit_code, 0);
  EXPECT_EQ(read_file(updates + "/update.log"), kDone);
  EXPECT_EQ(read_file(record), "free\n0\n");  // and no descriptor of it inherited
}

// Nothing is touched before the installation's lock is free (a run that
// finds it locked says so once) and the application has ended (it need not
// be the updater's child).
TEST_F(DriverTest, WaitsForTheLockAndTheApplication) {
  Child app;
  ASSERT_TRUE(start_program({"/bin/sleep", "30"}, {}, root / "app.out", &app));
  int held = open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  struct {
    std::string parent, said;
    std::function<void()> release;
  } cases[] = {{"0", "waiting for another update run to finish\n", [&] { close(held); }},
               {std::to_string(app.pid), "waited for process " + std::to_string(app.pid) + " to end\n", [&] {
                  kill(app.pid, SIGKILL);
                  wait_program(&app, 10);
                }}};
  for (const auto& c : cases) {
    unlink((updates + "/update.log").c_str());
    RunOptions options;
    options.cwd = install;
    Child child;
    ASSERT_TRUE(start_program({updater_bin(), updates, c.parent}, options, root / "out", &child));
    usleep(700000);
    EXPECT_TRUE(child.running());
    EXPECT_FALSE(exists(updates + "/update.log"));
    c.release();
    EXPECT_EQ(wait_program(&child, 60), 0);
    EXPECT_EQ(read_file(updates + "/update.log"), c.said + kDone);
  }
}

// An installation that cannot be opened cannot carry the lock: the run says
// so and goes on rather than strand the user.
TEST_F(DriverTest, UnlockableInstallationIsUpdatedWithALogLine) {
  RunOptions options;
  options.uid = unprivileged_uid();
  if (options.uid == 0) GTEST_SKIP() << "no unprivileged user";
  chmod(updates.c_str(), 0777);
  chmod(install.c_str(), 0311);  // searchable and writable, not readable
  run_updater(install, updates, {}, options);
  EXPECT_EQ(read_file(updates + "/update.log"), "cannot lock the installation directory: 13\n" + kDone);
}

}  // namespace
