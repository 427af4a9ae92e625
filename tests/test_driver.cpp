// The updater end to end on manifests that need no installed files: the
// command line, the log, the status file and the relaunch.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

struct DriverTest : ::testing::Test {
  TempDir root;
  std::string install = root / "install";
  std::string updates = root / "updates";
  DriverTest() {
    make_dirs(install);
    make_dirs(updates);
  }
  // The log after its first line, which says that the package was not verified.
  std::string log() {
    std::string text = read_file(updates + "/update.log");
    EXPECT_EQ(text.compare(0, sizeof kUnverifiedLine - 1, kUnverifiedLine), 0) << text;
    return text.substr(std::min(text.size(), sizeof kUnverifiedLine - 1));
  }
  std::string status() { return read_file(updates + "/update.status"); }
};

TEST_F(DriverTest, UsageLineAndExitCodes) {
  for (auto args : {std::vector<std::string>{updater_bin()},
                    std::vector<std::string>{updater_bin(), updates}}) {
    RunResult r = run_program(args, {});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Usage: updater <dir-path> <parent-pid> [working-dir callback args...]\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(exists(updates + "/update.log"));
  EXPECT_FALSE(exists(updates + "/update.status"));
}

TEST_F(DriverTest, MissingPackageFailsWithReadError) {
  RunResult r = run_updater(install, updates);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(log(), "failed: 6\ncalling QuitProgressUI\n");
  EXPECT_EQ(status(), "failed: 6\n");
}

TEST_F(DriverTest, UnreadablePackagesAndMissingManifest) {
  write_file(updates + "/update.zav", "ZAV1 not really a package");
  run_updater(install, updates);
  EXPECT_EQ(status(), "failed: 6\n");
  EXPECT_EQ(log(), "failed: 6\ncalling QuitProgressUI\n");

  make_package(updates + "/update.zav", {{"something-else", "x", 0644}});
  run_updater(install, updates);
  EXPECT_EQ(status(), "failed: 6\n");
  EXPECT_FALSE(exists(updates + "/update.manifest"));
}

TEST_F(DriverTest, CommentsAndBlankLinesSucceedInAnyLineEnding) {
  for (const char* manifest : {"# only a comment\n\n# another\n", "# crlf\r\n\r\n#x\r\n", "",
                               "#no final newline"}) {
    SCOPED_TRACE(manifest);
    make_update(updates, manifest);
    RunResult r = run_updater(install, updates);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(status(), "succeeded\n");
    EXPECT_EQ(log(), "succeeded\ncalling QuitProgressUI\n");
    // The extracted manifest stays; the package is not removed.
    EXPECT_EQ(read_file(updates + "/update.manifest"), manifest);
    EXPECT_TRUE(exists(updates + "/update.zav"));
  }
  EXPECT_EQ(snapshot_tree(install).size(), 0u);
}

TEST_F(DriverTest, BadLinesStopTheRunWithSyntaxError) {
  struct Case {
    const char* manifest;
    const char* log;
  } cases[] = {
      {"frobnicate \"a\"\n", "unknown manifest keyword: frobnicate \"a\"\nfailed: 5\n"},
      {"# fine\n  # note\n", "unknown manifest keyword:   # note\nfailed: 5\n"},
      {"   \t \n", "manifest line without keyword:    \t \nfailed: 5\n"},
      {"Remove \"a\"\r\n", "unknown manifest keyword: Remove \"a\"\nfailed: 5\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manifest);
    make_update(updates, c.manifest);
    run_updater(install, updates);
    EXPECT_EQ(status(), "failed: 5\n");
    EXPECT_EQ(log(), std::string(c.log) + "calling QuitProgressUI\n");
  }
}

TEST_F(DriverTest, RelaunchesTheCallbackAfterSuccessAndFailure) {
  std::string app = root / "app";
  std::string record = root / "record";
  write_file(app + "/run",
             "#!/bin/sh\n"
             "{ printf '[%s]' \"$0\" \"$@\"; echo; pwd;\n"
             "  if [ \"${NO_EM_RESTART+set}\" = set ]; then echo \"env=[$NO_EM_RESTART]\"; fi\n"
             "  cat '" + updates + "/update.status'; } > '" + record + "'\n",
             0755);
  make_update(updates, "# nothing\n");
  RunResult r = run_updater(install, updates, {app, app + "/run", std::string("-x"), std::string("two words")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(record),
            "[" + app + "/run][-x][two words]\n" + app + "\nenv=[]\nsucceeded\n");

  unlink((updates + "/update.zav").c_str());
  unlink(record.c_str());
  run_updater(install, updates, {app, app + "/run"});
  EXPECT_EQ(read_file(record), "[" + app + "/run]\n" + app + "\nenv=[]\nfailed: 6\n");

  // A working directory that does not exist is ignored; the program still starts.
  unlink(record.c_str());
  run_updater(install, updates, {root / "nowhere", app + "/run"});
  EXPECT_EQ(read_file(record), "[" + app + "/run]\n" + install + "\nenv=[]\nfailed: 6\n");
}

TEST_F(DriverTest, NoCallbackWithFourArgumentsAndSilentExecFailure) {
  make_update(updates, "");
  RunResult r = run_updater(install, updates, {root / "app"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(status(), "succeeded\n");
  r = run_updater(install, updates, {root.path, root / "no-such-program"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(DriverTest, ParentIdThatIsNotANumberIsNotWaitedFor) {
  make_update(updates, "");
  RunOptions options;
  options.cwd = install;
  RunResult r = run_program({updater_bin(), updates, "not-a-pid"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(status(), "succeeded\n");
}

TEST_F(DriverTest, ToolkitOptionsAreRemovedBeforeTheArgumentsAreCounted) {
  make_update(updates, "");
  RunOptions options;
  options.cwd = install;
  RunResult r = run_program({updater_bin(), "--display", ":12345", updates, "0"}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(status(), "succeeded\n");
  r = run_program({updater_bin(), "--display=:12345", updates}, options);
  EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
