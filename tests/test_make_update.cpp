// make-update on real trees: the package it writes, applied by the real
// updater to a copy of OLD, gives NEW; what a manifest cannot carry is
// refused or reported.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

RunResult make_update_run(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tool_bin("make-update")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

std::string extract_manifest(const std::string& package, const std::string& dest) {
  RunResult r = run_program({tool_bin("zav"), "extract", package, "update.manifest", dest});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return read_file(dest);
}

std::string system_file(const std::string& path) { return read_file(path); }

// OLD and NEW built from this machine's own programs: changed, moved,
// deleted, with a changed mode, nested new directories, blanks in names and
// an optional plugin directory.
void build_trees(const TempDir& dir) {
  std::string ls = system_file("/bin/ls");
  std::string bash = system_file("/bin/bash");
  std::string cp = system_file("/bin/cp");
  write_file(dir / "old/bin/app", bash, 0755);
  write_file(dir / "old/bin/helper", ls, 0755);
  write_file(dir / "old/bin/tool", cp, 0755);
  write_file(dir / "old/share/doc/README", "version 1\n", 0644);
  std::string notes;
  for (int i = 0; i < 3000; i++) notes += "note " + std::to_string(i * 7919 % 10007) + "\n";
  write_file(dir / "old/share/my notes.txt", notes, 0644);
  write_file(dir / "old/share/small.txt", "old\n", 0644);
  write_file(dir / "old/share/unchanged.txt", "same in both\n", 0644);
  write_file(dir / "old/lib/old.so", cp.substr(0, 50000), 0644);
  write_file(dir / "old/plugins/extra/extra.so", ls, 0755);
  write_file(dir / "old/plugins/extra/extra.cfg", "on\n", 0644);
  write_file(dir / "old/etc/config", "a file that becomes a directory\n", 0644);

  std::string new_bash = bash;
  for (size_t i = 4096; i < new_bash.size(); i += 4001) new_bash[i] ^= 0x20;
  new_bash.insert(new_bash.size() / 2, "new code of release 2");
  write_file(dir / "new/bin/app", new_bash, 0755);
  write_file(dir / "new/bin/tool", cp, 0700);  // mode change only
  write_file(dir / "new/libexec/helper", ls, 0755);  // moved
  write_file(dir / "new/share/doc/README", "version 2\n", 0644);
  write_file(dir / "new/share/my notes.txt", notes.substr(0, 9000) + "a new note\n" + notes.substr(9000), 0644);
  write_file(dir / "new/share/small.txt", "new\n", 0644);
  write_file(dir / "new/share/unchanged.txt", "same in both\n", 0644);
  write_file(dir / "new/share/new dir/deeper/data file", "nested new directories\n", 0600);
  std::string new_extra = ls;
  new_extra.replace(2000, 7, "PLUGIN2");
  write_file(dir / "new/plugins/extra/extra.so", new_extra, 0755);
  write_file(dir / "new/plugins/extra/extra.cfg", "on\nfast\n", 0644);
  write_file(dir / "new/plugins/extra/added.dat", "plugin data\n", 0644);
  write_file(dir / "new/etc/config/main", "now a directory\n", 0644);
}

TEST(MakeUpdate, PackageTurnsOldTreeIntoNewTree) {
  TempDir dir;
  build_trees(dir);
  RunResult r = make_update_run({dir / "old", dir / "new", dir / "out", "--if-present",
                                 "plugins/extra/"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("update.zav: 8 added, 3 patched, 3 removed, 0 linked, 0 directories made, "
                       "1 directories removed; package "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("patching saved "), std::string::npos);

  std::string manifest = extract_manifest(dir / "out/update.zav", dir / "manifest");
  EXPECT_EQ(manifest,
            "# Made by make-update: 15 changes.\n"
            "remove \"bin/helper\"\n"
            "remove \"etc/config\"\n"
            "remove \"lib/old.so\"\n"
            "rmdir \"lib\"\n"
            "patch \"bin/app.patch\" \"bin/app\"\n"
            "add \"bin/tool\"\n"
            "add \"etc/config/main\"\n"
            "add \"libexec/helper\"\n"
            "add-if \"plugins/extra\" \"plugins/extra/added.dat\"\n"
            "add-if \"plugins/extra\" \"plugins/extra/extra.cfg\"\n"
            "patch-if \"plugins/extra\" \"plugins/extra/extra.so.patch\" \"plugins/extra/extra.so\"\n"
            "add \"share/doc/README\"\n"
            "patch \"share/my notes.txt.patch\" \"share/my notes.txt\"\n"
            "add \"share/new dir/deeper/data file\"\n"
            "add \"share/small.txt\"\n")  // too small to gain from a patch
      << manifest;

  struct Case {
    const char* name;
    bool with_plugin;
  };
  for (const Case& k : {Case{"full installation", true}, Case{"without the plugin", false}}) {
    SCOPED_TRACE(k.name);
    TempDir run;
    RunResult c = run_program({"/bin/cp", "-a", dir / "old", run / "install"});
    ASSERT_EQ(c.exit_code, 0) << c.err;
    Tree expected = snapshot_tree(dir / "new");
    if (!k.with_plugin) {
      run_program({"/bin/rm", "-r", run / "install/plugins/extra"});
      for (auto it = expected.begin(); it != expected.end();)
        it = it->first.rfind("plugins/extra", 0) == 0 ? expected.erase(it) : std::next(it);
    }
    make_dirs(run / "update");
    run_program({"/bin/cp", dir / "out/update.zav", run / "update/update.zav"});
    r = run_updater(run / "install", run / "update");
    EXPECT_EQ(read_file(run / "update/update.status"), "succeeded\n")
        << read_file(run / "update/update.log");
    EXPECT_EQ(tree_diff(expected, snapshot_tree(run / "install")), "");
    std::string log = read_file(run / "update/update.log");
    EXPECT_NE(log.find("EXECUTE PATCH bin/app\n"), std::string::npos) << log;
    EXPECT_NE(log.find("EXECUTE ADD bin/tool\n"), std::string::npos) << log;
    EXPECT_NE(log.find("EXECUTE REMOVE lib/old.so\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("plugins/extra/extra.so\n") != std::string::npos, k.with_plugin) << log;
  }
}

TEST(MakeUpdate, WhatAManifestCannotCarryIsRefused) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> setup;
    const char* message;
  };
  std::vector<Case> cases = {
      {"link target with a quote",
       [](const TempDir& d) { symlink("say \"hi\"", (d / "new/link").c_str()); },
       "new/link: a link target with a double quote or a line break cannot be written"},
      {"special file",
       [](const TempDir& d) { mkfifo((d / "old/fifo").c_str(), 0644); },
       "old/fifo: special file"},
      {"double quote", [](const TempDir& d) { write_file(d / "new/say \"hi\"", "x"); },
       "a name with a double quote or a line break cannot be written in a manifest"},
      {"line break", [](const TempDir& d) { write_file(d / "new/two\nlines", "x"); },
       "two\\nlines: a name with a double quote"},
      {"backup name", [](const TempDir& d) { write_file(d / "new/a.kiv-backup", "x"); },
       "a.kiv-backup: the updater keeps its backups under such names"},
      {"missing tree", [](const TempDir& d) { run_program({"/bin/rm", "-r", d / "old"}); },
       "old: not a directory"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    write_file(dir / "old/a", "a");
    write_file(dir / "new/a", "a");
    k.setup(dir);
    RunResult r = make_update_run({dir / "old", dir / "new", dir / "out"});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("make-update: no package written"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "out/update.zav"));
  }
}

TEST(MakeUpdate, ReportsWhatThePackageLeavesBehind) {
  TempDir dir;
  write_file(dir / "old/keep", "k");
  write_file(dir / "old/gone/sub/x", "x");
  write_file(dir / "new/keep", "k");
  make_dirs(dir / "new/empty");
  RunResult r = make_update_run({dir / "old", dir / "new", dir / "out", "--if-present", "absent"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: absent: --if-present path is not in OLD_DIR"), std::string::npos);
  EXPECT_EQ(extract_manifest(dir / "out/update.zav", dir / "m"),
            "# Made by make-update: 4 changes.\nremove \"gone/sub/x\"\nrmdir \"gone/sub\"\n"
            "rmdir \"gone\"\nmkdir \"empty\"\n");

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{dir / "old", dir / "new"},
        std::vector<std::string>{dir / "old", dir / "new", dir / "out", "--if-present"},
        std::vector<std::string>{dir / "old", dir / "new", dir / "out", "--if-present", "../x"}}) {
    r = make_update_run(args);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(MakeUpdate, SignsWhatItWritesAndWritesNothingWhenItCannot) {
  TempDir dir;
  write_file(dir / "old/a.txt", "one");
  write_file(dir / "new/a.txt", "two");
  ASSERT_EQ(run_program({tool_bin("zav"), "keygen", dir / "k.secret", dir / "k.pub"}).exit_code, 0);

  RunResult r = make_update_run({dir / "old", dir / "new", dir / "out", "--sign", dir / "k.secret"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = run_program({tool_bin("zav"), "verify", dir / "out/update.zav", dir / "k.pub"});
  EXPECT_EQ(r.exit_code, 0) << r.err;

  // The signed package applies through an updater that has the key beside it.
  make_dirs(dir / "prog");
  ASSERT_EQ(symlink(updater_bin().c_str(), (dir / "prog/updater").c_str()), 0);
  write_file(dir / "prog/updater.pub", read_file(dir / "k.pub"));
  make_dirs(dir / "install");
  write_file(dir / "install/a.txt", "one");
  RunOptions options;
  options.cwd = dir / "install";
  run_program({dir / "prog/updater", dir / "out", "0"}, options);
  EXPECT_EQ(read_file(dir / "out/update.status"), "succeeded\n");
  EXPECT_EQ(read_file(dir / "install/a.txt"), "two");

  write_file(dir / "bad.secret", "not a key\n", 0600);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{dir / "old", dir / "new", dir / "out2", "--sign", dir / "bad.secret"},
       "not a secret key file"},
      {{dir / "old", dir / "new", dir / "out2", "--sign", dir / "missing.secret"},
       "missing.secret"},
      {{dir / "old", dir / "new", dir / "out2", "--sign"}, "usage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    r = make_update_run(c.args);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "out2/update.zav"));
    EXPECT_FALSE(exists(dir / "out2/update.zav.sig"));
  }
}

}  // namespace
