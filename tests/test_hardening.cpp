// What a hostile update directory, signals, a full disk, a read-only file and
// reruns can do to a run: each row runs the real updater and compares its
// exit, standard error, log, status file and the installation byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/patch_builder.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const std::string U = kUnverifiedLine;

struct Env {
  TempDir root;
  std::string install = root / "install", updates = root / "updates";
  std::string program = updater_bin(), key_file;
  std::vector<std::string> args = {updates, "0"};  // after the program
  RunOptions options;
  Child run, other;  // the updater; a process beside it (the application, the racer)
  pid_t other_pid = 0;
  std::string skip;  // why the row cannot run here
  bool mounted = false;
  ~Env() {
    if (mounted) umount2(install.c_str(), MNT_DETACH);
  }

  RunResult zav(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {tool_bin("zav")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
  }
  // Starts the updater through a link beside a key file, and signs the package.
  void sign() {
    make_dirs(root / "bin");
    program = root / "bin/updater";
    key_file = program + ".pub";
    EXPECT_EQ(symlink(updater_bin().c_str(), program.c_str()), 0);
    EXPECT_EQ(zav({"keygen", root / "key.secret", key_file}).exit_code, 0);
    EXPECT_EQ(zav({"sign", updates + "/update.zav", root / "key.secret"}).exit_code, 0);
  }
  // Starts `argv` beside the updater; false when it could not start.
  bool start_other(const std::vector<std::string>& argv) {
    if (!start_program(argv, {}, root / "other.out", &other)) return false;
    other_pid = other.pid;
    return true;
  }
};

struct Row {
  const char* name;
  std::vector<TreeFile> before;
  std::string manifest;
  std::vector<PackageFile> entries;
  std::function<void(Env&)> setup;  // after the package is made
  std::string log;     // before the status line; "@U" update dir, "@K" key file, "@P" other
  std::string status;  // "" when nothing may be written
  std::vector<TreeFile> after;
  std::function<void(Env&)> during = nullptr;  // while the updater runs
  int exit_code = 0;
  std::string err = "";
  const char* status_file = nullptr;  // when it differs from `status`
};

// What stands at `path`, or a marker for nothing or something that is no file.
std::string contents(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "<absent>";
  return S_ISREG(st.st_mode) ? read_file(path) : "<not a file>";
}

std::string subst(std::string s, const Env& env) {
  const std::pair<std::string, std::string> marks[] = {
      {"@U", env.updates}, {"@K", env.key_file}, {"@P", std::to_string(env.other_pid)}};
  for (const auto& [mark, value] : marks) {
    for (size_t at; (at = s.find(mark)) != std::string::npos;) s.replace(at, 2, value);
  }
  return s;
}

void check_rows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Env env;
    make_dirs(env.install);
    plant_tree(env.install, row.before);
    make_update(env.updates, row.manifest, row.entries);
    if (row.setup) row.setup(env);
    if (!env.skip.empty()) GTEST_SKIP() << env.skip;
    std::vector<std::string> argv = {env.program};
    argv.insert(argv.end(), env.args.begin(), env.args.end());
    env.options.cwd = env.install;
    ASSERT_TRUE(start_program(argv, env.options, env.root / "output", &env.run));
    if (row.during) row.during(env);
    EXPECT_EQ(wait_program(&env.run, 30), row.exit_code);
    EXPECT_EQ(read_file(env.root / "output"), subst(row.err, env));
    const std::string& dir = env.args[0];
    std::string log = row.status.empty() ? "<absent>" : row.log + row.status;
    if (!row.status.empty()) log += "calling QuitProgressUI\n";
    EXPECT_EQ(contents(dir + "/update.log"), subst(log, env));
    EXPECT_EQ(contents(dir + "/update.status"),
              row.status_file ? row.status_file : row.status.empty() ? "<absent>" : row.status);
    EXPECT_EQ(tree_diff(tree_of(row.after), snapshot_tree(env.install)), "");
  }
}

// Waits up to ten seconds for `text` in the file at `path`.
bool wait_for_text(const std::string& path, const std::string& text) {
  for (int i = 0; i < 1000; i++) {
    if (exists(path) && read_file(path).find(text) != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

const std::string kPatchedLog = "PREPARE ADD new\nPREPARE PATCH a\nEXECUTE ADD new\n"
                                "EXECUTE PATCH a\nFINISH ADD new\nFINISH PATCH a\n";

TEST(Hardening, AHostileUpdateDirectoryChangesNothingButWhatWasSigned) {
  const std::vector<PackageFile> entries = {{"new", "new\n"}, {"p", make_patch("a1\n", "a2\n")}};
  std::vector<Row> rows = {
      {"links and pipes at every name the run writes",
       {{"a", "a1\n"}, {"victim", "keep\n"}},
       "add \"new\"\npatch \"p\" \"a\"\n",
       entries,
       [](Env& env) {
         for (const char* name : {"update.log", "update.manifest", "0.patch"})
           EXPECT_EQ(symlink((env.install + "/victim").c_str(), (env.updates + "/" + name).c_str()),
                     0);
         EXPECT_EQ(symlink("victim", (env.install + "/a.kiv-backup").c_str()), 0);
         EXPECT_EQ(mkfifo((env.updates + "/update.status").c_str(), 0644), 0);
       },
       U + kPatchedLog,
       "succeeded\n",
       {{"a", "a2\n"}, {"new", "new\n"}, {"victim", "keep\n"}}},
      {"the key beside the program started through a link",
       {{"a", "a1\n"}},
       "add \"new\"\n",
       entries,
       [](Env& env) {
         make_dirs(env.root / "bin");
         make_dirs(env.root / "link");
         run_program({"/bin/cp", updater_bin(), env.root / "bin/updater"});
         EXPECT_EQ(env.zav({"keygen", env.root / "key.secret", env.root / "bin/updater.pub"})
                       .exit_code, 0);
         env.program = env.root / "link/upd";
         EXPECT_EQ(symlink("../bin/updater", env.program.c_str()), 0);
       },
       "missing signature @U/update.zav.sig\n",
       "failed: 6\n",
       {{"a", "a1\n"}}},
      {"a named pipe as the package", {}, "", {},
       [](Env& env) {
         unlink((env.updates + "/update.zav").c_str());
         EXPECT_EQ(mkfifo((env.updates + "/update.zav").c_str(), 0644), 0);
       },
       U + "package is not a regular file: @U/update.zav\n",
       "failed: 6\n",
       {}},
      {"a NUL byte in the manifest",
       {{"b", "b\n"}},
       std::string("add \"a\"\n\0remove \"b\"\n", 20),
       {{"a", "a\n"}},
       nullptr,
       U + "manifest contains a NUL byte\n",
       "failed: 5\n",
       {{"b", "b\n"}}},
      {"set-user-ID bits of an unsigned package", {}, "add \"tool\"\n",
       {{"tool", "#!/bin/sh\n", 06755}}, nullptr,
       U + "PREPARE ADD tool\nEXECUTE ADD tool\n"
           "set-user-ID and set-group-ID bits dropped: tool\nFINISH ADD tool\n",
       "succeeded\n",
       {{"tool", "#!/bin/sh\n", 0755}}},
      {"set-user-ID bits of a signed package", {}, "add \"tool\"\n",
       {{"tool", "#!/bin/sh\n", 04755}}, [](Env& env) { env.sign(); },
       "signature verified with key 1 of @K\nPREPARE ADD tool\nEXECUTE ADD tool\n"
       "FINISH ADD tool\n",
       "succeeded\n",
       {{"tool", "#!/bin/sh\n", 04755}}},
  };
  // A reopen by name is held until the racer has won; a run that reads back
  // through its descriptors is never held.
  for (std::vector<std::string> env : {std::vector<std::string>{},
                                       fault_shim_env({"FAULT_HOLD_PATH=*/update.manifest:*/0.patch",
                                                       "FAULT_HOLD_READS=1"})}) {
    rows.push_back(
        {"manifest and patch renamed over on close-after-write",
         {{"a", "a1\n"}, {"keep", "keep\n"}},
         "add \"new\"\npatch \"p\" \"a\"\n",
         entries,
         [env](Env& e) {
           e.options.env = env;
           e.sign();
           write_file(e.root / "evil.manifest", "remove \"keep\"\n");
           write_file(e.root / "evil.patch", make_patch("a1\n", "evil\n"));
           ASSERT_TRUE(e.start_other({RENAME_RACER, e.updates,
                                      "update.manifest=" + e.root / "evil.manifest",
                                      "0.patch=" + e.root / "evil.patch"}));
           ASSERT_TRUE(wait_for_text(e.root / "other.out", "ready"));
         },
         "signature verified with key 1 of @K\n" + kPatchedLog,
         "succeeded\n",
         {{"a", "a2\n"}, {"keep", "keep\n"}, {"new", "new\n"}}});
  }
  check_rows(rows);
}

TEST(Hardening, UpdateDirectoryPathsThatDoNotFitAreRefused) {
  const char kRefused[] = "updater: the update directory path must be 1 to 1005 bytes long\n";
  auto long_dir = [](Env& env) {  // 1006 bytes
    std::string dir = env.updates;
    while (dir.size() < 900) dir += "/" + std::string(100, 'd');
    make_dirs(env.args[0] = dir + "/" + std::string(1006 - dir.size() - 1, 'e'));
  };
  check_rows({
      {"an empty path", {}, "", {}, [](Env& env) { env.args[0] = ""; }, "", "", {}, nullptr, 1,
       kRefused},
      {"a path one byte too long", {}, "", {}, long_dir, "", "", {}, nullptr, 1, kRefused},
      {"a status file that cannot be written", {}, "", {},
       [](Env& env) { make_dirs(env.updates + "/update.status"); }, U, "succeeded\n", {},
       nullptr, 0, "cannot write @U/update.status: 21\n", "<not a file>"},
  });
}

TEST(Hardening, WaitsForTheApplicationAndCompletesDespiteSignals) {
  check_rows({
      {"the application is not the updater's child",
       {},
       "add \"a\"\n",
       {{"a", "a\n"}},
       [](Env& env) {
         ASSERT_TRUE(env.start_other({"/bin/sleep", "30"}));
         env.args[1] = std::to_string(env.other_pid);
       },
       "waited for process @P to end\n" + U + "PREPARE ADD a\nEXECUTE ADD a\nFINISH ADD a\n",
       "succeeded\n",
       {{"a", "a\n"}},
       [](Env& env) {
         usleep(700000);
         EXPECT_TRUE(env.run.running());
         EXPECT_FALSE(exists(env.updates + "/update.log"));
         wait_program(&env.other, 0);  // the application ends
       }},
      {"SIGTERM, SIGINT and SIGHUP half way through",
       {{"a", "a1\n"}},
       "add \"a\"\nadd \"b\"\n",
       {{"a", "a2\n"}, {"b", "b\n"}},
       [](Env& env) { env.options.env = fault_shim_env({"FAULT_HOLD_PATH=b"}); },
       U + "PREPARE ADD a\nPREPARE ADD b\nEXECUTE ADD a\nEXECUTE ADD b\nFINISH ADD a\n"
           "FINISH ADD b\n",
       "succeeded\n",
       {{"a", "a2\n"}, {"b", "b\n"}, {"b.go", ""}},
       [](Env& env) {
         ASSERT_TRUE(wait_for_text(env.updates + "/update.log", "EXECUTE ADD b"));
         for (int s : {SIGTERM, SIGINT, SIGHUP}) kill(env.run.pid, s);
         usleep(200000);
         write_file(env.install + "/b.go", "");  // lets the held extraction go on
       }},
  });
}

// A leftover backup, the only copy of the original, survives a failing rerun.
const Row kLeftoverRerun = {
    "a failing rerun over a leftover backup",
    {{"a", "current\n"}, {"a.kiv-backup", "original\n", 0600}},
    "remove \"a\"\nadd \"missing\"\n",
    {},
    nullptr,
    U + "PREPARE REMOVE a\nPREPARE ADD missing\nEXECUTE REMOVE a\nEXECUTE ADD missing\n"
        "### execution failed\nFINISH REMOVE a\n"
        "restored from the backup of an interrupted run: a\nFINISH ADD missing\n"
        "copy_file: failed to open or stat: -1,missing.kiv-backup,2\n",
    "failed: 6\n",
    {{"a", "original\n", 0600}}};

TEST(Hardening, AFailedRunLosesNoOldFile) {
  Row read_only = {
      "a read-only new file is replaced by the restore",
      {{"a", "old\n"}},
      "add \"a\"\nadd \"missing\"\n",
      {{"a", "new\n", 0444}},
      [](Env& env) {
        uid_t user = unprivileged_uid();
        if (user == 0) env.skip = "no unprivileged user";
        run_program({"/bin/chown", "-R", std::to_string(user), env.root.path});
        env.options.uid = user;
      },
      U + "PREPARE ADD a\nPREPARE ADD missing\nEXECUTE ADD a\nEXECUTE ADD missing\n"
          "### execution failed\nFINISH ADD a\nFINISH ADD missing\n"
          "copy_file: failed to open or stat: -1,missing.kiv-backup,2\n",
      "failed: 6\n",
      {{"a", "old\n"}}};
  check_rows({kLeftoverRerun, read_only});
}

TEST(Hardening, AFullDiskRemovesThePartialFileSoTheRestoreFits) {
  check_rows({{
      "a file larger than the free space after a remove",
      {},
      "remove \"a\"\nadd \"b\"\n",
      {{"b", random_bytes(3 << 19, 2)}},
      [](Env& env) {
        if (mount("tmpfs", env.install.c_str(), "tmpfs", 0, "size=2m") != 0) {
          env.skip = "cannot mount a small tmpfs: " + std::string(strerror(errno));
          return;
        }
        env.mounted = true;
        write_file(env.install + "/a", random_bytes(600 << 10, 1));
      },
      U + "PREPARE REMOVE a\nPREPARE ADD b\nEXECUTE REMOVE a\nEXECUTE ADD b\n"
          "cannot write b: 28\n### execution failed\nFINISH REMOVE a\nFINISH ADD b\n"
          "copy_file: failed to open or stat: -1,b.kiv-backup,2\n",
      "failed: 7\n",
      {{"a", random_bytes(600 << 10, 1)}},
  }});
}

}  // namespace
