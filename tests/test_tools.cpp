// The tools on real files: make-update's package turns OLD into NEW (files,
// directories and links) through the real updater, zqdiff and zqpatch agree
// byte for byte, zav packs, signs and verifies; bad input gives a clear
// message and exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <string>
#include <thread>

#include "archive/writer.h"
#include "base/byte_order.h"
#include "base/status.h"
#include "patch/x86_fields.h"
#include "patch/x86_transform.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// What a new release does to a binary: changed words, an insertion, a cut.
std::string edited(std::string s) {
  for (size_t i = 100; i + 4 < s.size(); i += 997) s[i] = static_cast<char>(s[i] + 7);
  s.insert(s.size() / 3, "inserted by the new version");
  return s.erase(s.size() / 2, std::min<size_t>(3000, s.size() / 10));
}

// A release of a program as a linker would make it: the code after the
// middle of its largest executable section moved on by 16 bytes, and every
// call and RIP-relative reference to what moved fixed up.
std::string moved_code(std::string elf) {
  auto at = [&](size_t offset) { return reinterpret_cast<unsigned char*>(&elf[offset]); };
  uint64_t table = load_le64(at(0x28)), start = 0, size = 0, address = 0;
  for (size_t k = 0; k < load_le16(at(0x3C)); k++) {
    const unsigned char* s = at(table + 64 * k);
    if ((load_le64(s + 8) & 4) != 0 && load_le64(s + 32) > size)
      start = load_le64(s + 24), size = load_le64(s + 32), address = load_le64(s + 16);
  }
  x86_elf_transform(at(0), elf.size());
  elf.insert(start + size / 2, std::string(16, '\x90'));
  elf.erase(start + size, 16);
  struct Moved { uint32_t from, to; } moved{static_cast<uint32_t>(address + size / 2),
                                            static_cast<uint32_t>(address + size)};
  x86_elf_fields(at(0), elf.size(), [](unsigned char* field, uint32_t, void* context) {
    Moved* m = static_cast<Moved*>(context);
    uint32_t target = load_le32(field);
    if (target >= m->from && target < m->to) store_le32(field, target + 16);
  }, &moved);
  x86_elf_untransform(at(0), elf.size());
  return elf;
}

// A call of a tool: its exit code, a part of its standard error (all of it,
// empty, on success) and the start of its standard output.
struct Failure {
  std::vector<std::string> args;
  int exit_code;  // -1: any but 0
  std::string message, out = "";
};
void expect_failures(const std::string& tool, const std::vector<Failure>& cases) {
  for (const Failure& f : cases) {
    SCOPED_TRACE(tool + ": " + f.message);
    RunResult r = run_tool(tool, f.args);
    EXPECT_TRUE(f.exit_code < 0 ? r.exit_code != 0 : r.exit_code == f.exit_code) << r.exit_code << r.err;
    EXPECT_TRUE(f.exit_code == 0 ? r.err.empty() : r.err.find(f.message) != std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(f.out), 0u) << r.out;
  }
}

TEST(MakeUpdate, PackageTurnsOldTreeIntoNewTree) {
  TempDir dir;
  std::string bash = read_file("/bin/bash"), ls = read_file("/bin/ls"), notes;
  for (int i = 0; i < 3000; i++) notes += "note " + std::to_string(i * 7919 % 10007) + "\n";
  plant_tree(dir / "old", {{"bin/app", bash, 0755}, {"bin/helper", ls, 0755}, {"bin/tool", ls, 0755},
                           {"share/my notes.txt", notes}, {"share/small.txt", "old\n"}, {"share/same", "same"},
                           {"lib/old.so", "old lib"}, {"plugins/x/x.so", ls, 0755}, {"etc/config", "a file"}});
  plant_tree(dir / "new", {{"bin/app", edited(bash), 0755}, {"bin/tool", ls, 0700}, {"libexec/helper", ls, 0755},
                           {"share/my notes.txt", notes.substr(0, 9000) + "a new note\n" + notes.substr(9000)},
                           {"share/small.txt", "new\n"}, {"share/same", "same"}, {"share/new dir/deep/f", "n", 0600},
                           {"plugins/x/x.so", edited(ls), 0755}, {"plugins/x/added", "p"}, {"etc/config/main", "d"}});
  RunResult r = run_tool("make-update", {dir / "old", dir / "new", dir / "out", "--if-present", "plugins/x/"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("update.zav: 6 added, 3 patched, 3 removed, 0 linked, 0 directories made, "
                       "1 directories removed; package "), std::string::npos) << r.out;
  ASSERT_EQ(run_tool("zav", {"extract", dir / "out/update.zav", "update.manifest", dir / "m"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "m"),
            "# Made by make-update: 13 changes.\nremove \"bin/helper\"\nremove \"etc/config\"\nremove \"lib/old.so\"\n"
            "rmdir \"lib\"\npatch \"bin/app.patch\" \"bin/app\"\nadd \"bin/tool\"\nadd \"etc/config/main\"\nadd \"libexec/helper\"\n"
            "add-if \"plugins/x\" \"plugins/x/added\"\npatch-if \"plugins/x\" \"plugins/x/x.so.patch\" \"plugins/x/x.so\"\n"
            "patch \"share/my notes.txt.patch\" \"share/my notes.txt\"\nadd \"share/new dir/deep/f\"\nadd \"share/small.txt\"\n");
  for (bool plugin : {true, false}) {
    SCOPED_TRACE(plugin);
    TempDir run;
    ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "old", run / "install"}).exit_code, 0);
    ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "out", run / "update"}).exit_code, 0);
    Tree expected = snapshot_tree(dir / "new");
    if (!plugin) {
      run_program({"/bin/rm", "-r", run / "install/plugins/x"});
      for (const char* name : {"plugins/x", "plugins/x/x.so", "plugins/x/added"}) expected.erase(name);
    }
    run_updater(run / "install", run / "update");
    EXPECT_EQ(read_file(run / "update/update.status"), "succeeded\n") << read_file(run / "update/update.log");
    EXPECT_EQ(tree_diff(expected, snapshot_tree(run / "install")), "");
  }
}

TEST(MakeUpdate, WhatAManifestCannotCarryIsRefused) {
  struct Case {
    std::vector<TreeFile> files;
    std::string message;
  } cases[] = {
      {{{"new/say \"hi\"", "x"}}, "a name with a double quote or a line break cannot be written in a manifest"},
      {{{"new/two\nlines", "x"}}, "two\\nlines: a name with a double quote"},
      {{{"new/a.kiv-backup", "x"}}, "a.kiv-backup: the updater keeps its backups under such names"},
      {{{"old/u.kiv-backup", "same"}, {"new/u.kiv-backup", "same"}}, "new/u.kiv-backup: the updater keeps its backups"},
      {{{"new/\x1b[2J\"", "x"}}, "new/\\x1b[2J\": a name with a double quote"},  // escaped, not a clear screen
  };
  for (const Case& c : cases) {
    TempDir dir;
    plant_tree(dir.path, {{"old/a", "a"}, {"new/a", "a"}});
    plant_tree(dir.path, c.files);
    expect_failures("make-update", {{{dir / "old", dir / "new", dir / "out"}, 1, c.message},
                                    {{dir / "old", dir / "new", dir / "out"}, 1, "make-update: no package written"}});
    EXPECT_FALSE(exists(dir / "out/update.zav"));
  }
  TempDir dir;
  plant_tree(dir.path, {{"old/a", "a"}, {"new/a", "a"}});
  EXPECT_EQ(symlink("say \"hi\"", (dir / "new/link").c_str()), 0);
  expect_failures("make-update", {
      {{dir / "old", dir / "new", dir / "out"}, 1, "new/link: a link target with a double quote or a line break cannot be written"},
      {{dir / "none", dir / "new", dir / "out"}, 1, "none: not a directory"},
      {{dir / "old", dir / "new"}, 2, ""},
      {{dir / "old", dir / "new", dir / "out", "--if-present", "../x"}, 2, ""},
      {{dir / "old", dir / "new", dir / "out", "--sign", dir / "missing.secret"}, -1, "missing.secret"},
  });
}

// An input replaced after the scan, while make-update waits to read it, by a
// link to a secret or by another file, is refused: nothing else goes into
// the package under its name.
TEST(MakeUpdate, AnInputSwappedAfterTheScanIsRefused) {
  struct Case {
    std::vector<TreeFile> files;
    std::string held;  // the input swapped, the moment make-update opens it
    bool to_link;      // else another file of the same size
  } cases[] = {
      {{{"new/z_file", "new"}}, "new/z_file", true},
      {{{"old/z_file", "one"}, {"new/z_file", "two"}}, "new/z_file", false},
      {{{"old/z_file", "one"}, {"new/z_file", "two2"}}, "old/z_file", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.held);
    TempDir dir;
    plant_tree(dir.path, {{"old/a", "a"}, {"new/a", "a"}, {"secret", "top", 0600}, {"other", "owt"}});
    plant_tree(dir.path, c.files);
    RunOptions options;
    options.env = fault_shim_env({"FAULT_HOLD_PATH=*/" + c.held, "FAULT_HOLD_READS=1", "FAULT_HOLD_MARK=1"});
    Child child;
    ASSERT_TRUE(start_program({tool_bin("make-update"), dir / "old", dir / "new", dir / "out"}, options, dir / "output", &child));
    ASSERT_TRUE(wait_for_text(dir / (c.held + ".held"), ""));
    if (c.to_link) ASSERT_EQ(symlink((dir / "secret").c_str(), (dir / "swap").c_str()), 0);
    ASSERT_EQ(rename((dir / (c.to_link ? "swap" : "other")).c_str(), (dir / c.held).c_str()), 0);
    write_file(dir / (c.held + ".go"), "");
    EXPECT_EQ(wait_program(&child, 60), 1);
    EXPECT_NE(read_file(dir / "output").find(c.held + ": changed since it was scanned\nmake-update: no package written"),
              std::string::npos) << read_file(dir / "output");
    EXPECT_FALSE(exists(dir / "out/update.zav"));
  }
}

TEST(MakeUpdate, SignsWhatItWrites) {
  TempDir dir;
  // Links planted at the output names are replaced, never written through.
  plant_tree(dir.path, {{"old/a", "one"}, {"new/a", "two"}, {"install/a", "one"}, {"victim", "keep"},
                        {"out/update.zav", "../victim", 0}, {"out/update.zav.sig.tmp", "../victim", 0}});
  ASSERT_EQ(run_tool("zav", {"keygen", dir / "k.secret", dir / "k.pub"}).exit_code, 0);
  ASSERT_EQ(run_tool("make-update", {dir / "old", dir / "new", dir / "out", "--secret-key", dir / "k.secret"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "victim"), "keep");
  write_file(dir / "prog/updater.pub", read_file(dir / "k.pub"));
  ASSERT_EQ(symlink(updater_bin().c_str(), (dir / "prog/updater").c_str()), 0);
  RunOptions options;
  options.cwd = dir / "install";
  run_program({dir / "prog/updater", dir / "out", "0"}, options);
  EXPECT_EQ(read_file(dir / "out/update.log"), "signature verified with key 1 of " + dir / "prog/updater.pub" +
                                                   "\nPREPARE ADD a\nEXECUTE ADD a\nFINISH ADD a\nsucceeded\n"
                                                   "calling QuitProgressUI\n");
  EXPECT_EQ(read_file(dir / "install/a"), "two");
}

// Files, directories and symbolic links (mode 0): every kind of change a
// release makes to a tree. Directory modes come last, deepest first, so
// "zz-new-empty"'s mkdir is among the package's last lines, and "ro" is
// filled before it is made read-only.
const std::vector<TreeFile> kOld = {
    {"lib/libfoo.so.1.2.3", "library 1.2.3", 0755}, {"lib/libfoo.so.1", "libfoo.so.1.2.3", 0},
    {"bin/app", "../lib/libfoo.so.1.2.3", 0}, {"bin/old-link", "app", 0}, {"bin/dangling", "nowhere", 0},
    {"bin/old-lib-dir", "../lib", 0}, {"share/old-empty/", "", 0755}, {"gone/a", "a"}, {"gone/sub/b", "b", 0600},
    {"gone/sub/deeper/", "", 0755}, {"dir-to-file/x", "x"}, {"dir-to-link/x", "x"}, {"file-to-dir", "was a file", 0600},
    {"file-to-link", "was a file"}, {"link-to-file", "../outside/secret", 0}, {"link-to-dir", "lib", 0},
    {"mode-only", "same bytes"}, {"share/private/", "", 0755},
};
const std::vector<TreeFile> kNew = {
    {"lib/libfoo.so.1.2.3", "library 1.2.3", 0755}, {"lib/libfoo.so.1", "libfoo.so.1.2.3", 0},
    {"lib/libfoo.so.1.2.4", "library 1.2.4", 0755}, {"bin/app", "../lib/libfoo.so.1.2.4", 0},
    {"bin/new-link", "../lib/libfoo.so.1", 0}, {"bin/dangling", "nowhere", 0},
    {"bin/new-dangling", "/nonexistent/updater-test", 0}, {"bin/lib-dir", "../lib", 0}, {"share/new-empty/", "", 0755},
    {"dir-to-file", "now a file"}, {"dir-to-link", "lib", 0}, {"file-to-dir/inside", "in the new directory"},
    {"file-to-link", "lib/libfoo.so.1", 0}, {"link-to-file", "now a file"}, {"link-to-dir/x", "x"},
    {"mode-only", "same bytes", 0755}, {"share/private/", "", 0700}, {"zz-new-empty/", "", 0750},
    {"ro/f", "in a read-only directory"}, {"ro/", "", 0555},
};

struct Case {
  const char* name;
  std::vector<TreeFile> user;  // put into the copy of OLD before the run
  const char* status;
  bool ends_as_new;     // else: every OLD path as it was
  std::string log_has;  // a line the log must hold
  bool as_user = false;  // run by an unprivileged owner of the installation
};

TEST(MakeUpdate, TreesOfEveryKindOfChangeApplyAndFailBackToOld) {
  TempDir dir;
  plant_tree(dir / "old", kOld);
  plant_tree(dir / "new", kNew);
  write_file(dir / "outside/secret", "outside the installation");
  RunResult r = run_tool("make-update", {dir / "old", dir / "new", dir / "out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(run_tool("zav", {"extract", dir / "out/update.zav", "update.manifest", dir / "manifest"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "manifest"),
            "# Made by make-update: 31 changes.\nremove \"bin/old-lib-dir\"\nremove \"bin/old-link\"\n"
            "remove \"dir-to-file/x\"\nremove \"dir-to-link/x\"\nremove \"file-to-dir\"\nremove \"gone/a\"\n"
            "remove \"gone/sub/b\"\nremove \"link-to-dir\"\nrmdir \"share/old-empty\"\nrmdir \"gone/sub/deeper\"\n"
            "rmdir \"gone/sub\"\nrmdir \"gone\"\nrmdir \"dir-to-link\"\nrmdir \"dir-to-file\"\n"
            "link \"bin/app\" \"../lib/libfoo.so.1.2.4\"\nlink \"bin/lib-dir\" \"../lib\"\n"
            "link \"bin/new-dangling\" \"/nonexistent/updater-test\"\nlink \"bin/new-link\" \"../lib/libfoo.so.1\"\n"
            "add \"dir-to-file\"\nlink \"dir-to-link\" \"lib\"\nadd \"file-to-dir/inside\"\n"
            "link \"file-to-link\" \"lib/libfoo.so.1\"\nadd \"lib/libfoo.so.1.2.4\"\nadd \"link-to-dir/x\"\n"
            "add \"link-to-file\"\nadd \"mode-only\"\nadd \"ro/f\"\nmkdir \"share/new-empty\"\n"
            "mkdir \"zz-new-empty\" \"0750\"\nmkdir \"share/private\" \"0700\"\nmkdir \"ro\" \"0555\"\n");

  const Case cases[] = {
      {"applied to OLD", {}, "succeeded\n", true, "FINISH MKDIR zz-new-empty\n"},
      {"applied by an owner who is not root", {}, "succeeded\n", true, "FINISH MKDIR ro\n", true},
      // A file where the last line's directory goes fails that line.
      {"failed at the last line", {{"zz-new-empty", "in the way"}}, "failed: 7\n", false,
       "a file stands where the directory goes: zz-new-empty\n"},
      // The second file has the backup name of "dir-to-link/x" as seen
      // through the new link: the run must not reach it through that link.
      {"user's files in a directory that goes and behind a new link",
       {{"gone/sub/mine.txt", "the user's own"}, {"lib/x.kiv-backup", "the user's own"}}, "succeeded\n", true,
       "directory not empty, left in place: gone/sub\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir run;
    ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "old", run / "install"}).exit_code, 0);
    ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "out", run / "update"}).exit_code, 0);
    plant_tree(run / "install", c.user);
    RunOptions options;
    if (c.as_user && (options.uid = unprivileged_uid()) != 0)
      run_program({"/bin/chown", "-R", std::to_string(options.uid), run.path});
    run_updater(run / "install", run / "update", {}, options);
    std::string log = read_file(run / "update/update.log");
    EXPECT_EQ(read_file(run / "update/update.status"), c.status) << log;
    EXPECT_NE(log.find(c.log_has), std::string::npos) << log;
    // A failed run may leave what it newly created, nothing else.
    Tree expected = snapshot_tree(c.ends_as_new ? dir / "new" : dir / "old"), actual = snapshot_tree(run / "install");
    for (const auto& [path, node] : tree_of(c.user)) expected[path] = node;
    for (auto it = actual.begin(); !c.ends_as_new && it != actual.end();) {
      it = expected.count(it->first) != 0 || it->first.find(".kiv-backup") != std::string::npos ? std::next(it)
                                                                                                : actual.erase(it);
    }
    EXPECT_EQ(tree_diff(expected, actual), "") << log;
    EXPECT_EQ(read_file(dir / "outside/secret"), "outside the installation");
  }
}

// A release history through make-release: a directory becomes a link out of
// the installation, stays one, becomes a directory again, and another
// directory's mode goes back and forth. Every full package turns every
// earlier installation into its release, but one that a directory of the
// installation becomes a link out of, which it fails and leaves whole (the
// partial package from the release before does it); every partial package
// turns its base into its release; nothing outside is ever touched.
TEST(MakeRelease, EveryPackageTurnsEarlierInstallationsIntoItsRelease) {
  // The updater of 3.0 reads patch format 2: the partial from 3.0 uses it.
  std::string ls = read_file("/bin/ls");
  const std::vector<std::vector<TreeFile>> r = {
      {{"app", "1"}, {"lib/libssl.so", "ssl 1"}, {"d/f", "f"}, {"d/", "", 0700}, {"bin/prog", ls}},
      {{"app", "2"}, {"lib", "../outside", 0}, {"d/f", "f"}, {"bin/prog", ls}},
      {{"app", "3"}, {"lib", "../outside", 0}, {"d/f", "f"}, {"bin/prog", ls}},
      {{"app", "4"}, {"lib/libfoo.so", "foo 4"}, {"d/f", "f"}, {"d/", "", 0700}, {"bin/prog", moved_code(ls)}}};
  const std::vector<TreeFile> outside = {{"libssl.so", "system ssl"}, {"libfoo.so", "system foo"}};
  TempDir dir;
  ASSERT_EQ(run_tool("make-release", {"init", "--out", dir / "site", "--keys", dir / "keys"}).exit_code, 0);
  for (size_t k = 0; k < r.size(); k++) {
    std::string v = std::to_string(k + 1) + ".0";
    plant_tree(dir / ("r" + v), r[k]);
    std::vector<std::string> args = {"publish", "--out", dir / "site", "--release", v, "--tree", dir / ("r" + v)};
    if (k > 0) args.insert(args.end(), {"--from", std::to_string(k) + ".0=" + dir / ("r" + std::to_string(k) + ".0")});
    for (const char* key : {"targets-1", "snapshot-1", "timestamp-1"}) args.insert(args.end(), {"--secret-key", dir / "keys/" + key + ".secret"});
    args.insert(args.end(), {"--patch-format-2-since", "3.0"});
    RunResult p = run_tool("make-release", args);
    ASSERT_EQ(p.exit_code, 0) << p.err;
    const char* formats[] = {"", " (format 1)", " (format 1)", " 1 patched (1 in format 2)"};
    size_t line = p.out.find("/from-" + std::to_string(k) + ".0.zav: ");
    EXPECT_EQ(k == 0, line == std::string::npos) << p.out;
    if (line != std::string::npos) EXPECT_NE(p.out.substr(line, p.out.find('\n', line) - line).find(formats[k]), std::string::npos) << p.out;
  }
  auto package = [&](const std::string& release, const std::string& name) {
    RunResult f = run_program({"/bin/sh", "-c", "ls \"$0\"/*." + name, dir / ("site/targets/stable/" + release)});
    return f.out.substr(0, f.out.find('\n'));
  };
  for (size_t k = 1; k < r.size(); k++) {
    for (size_t j = 0; j < k; j++) {
      for (bool full : {true, false}) {
        if (!full && j + 1 != k) continue;
        std::string zav = package(std::to_string(k + 1) + ".0", full ? "full.zav" : "from-" + std::to_string(j + 1) + ".0.zav");
        SCOPED_TRACE(std::to_string(j + 1) + ".0 by " + zav);
        TempDir run;
        plant_tree(run / "outside", outside);
        plant_tree(run / "install", r[j]);
        make_dirs(run / "update");
        ASSERT_EQ(run_program({"/bin/cp", zav, run / "update/update.zav"}).exit_code, 0);
        run_updater(run / "install", run / "update");
        bool out_link = full && j == 0 && k < 3;
        EXPECT_EQ(read_file(run / "update/update.status"), out_link ? "failed: 7\n" : "succeeded\n") << read_file(run / "update/update.log");
        EXPECT_EQ(tree_diff(tree_of(out_link ? r[j] : r[k]), snapshot_tree(run / "install")), "");
        EXPECT_EQ(tree_diff(tree_of(outside), snapshot_tree(run / "outside")), "");
      }
    }
  }
}

TEST(Zqdiff, PatchesTurnOldIntoNewByteForByte) {
  std::string bash = read_file("/bin/bash"), ls = read_file("/bin/ls"), page = random_bytes(8192, 4);
  std::string a = random_bytes(40000, 1), b = random_bytes(40000, 2);
  // Every other byte agrees (text in a 16-bit encoding): the scan must not stall.
  std::string wide_old = random_bytes(1 << 20, 5), wide_new = random_bytes(1 << 20, 6);
  for (size_t i = 0; i < wide_old.size(); i += 2) wide_old[i] = wide_new[i] = 0;
  std::string dotted = page;  // no block of OLD whole: found by the search alone
  for (size_t i = 0; i < dotted.size(); i += 16) dotted[i] ^= 1;
  struct Case {
    std::string old_data, new_data;
    double max_ratio;  // compressed patch / compressed NEW; 0: not checked
  } cases[] = {
      {"", "", 0}, {"", ls, 0}, {ls, "", 0}, {bash, bash, 0.002}, {bash, edited(bash), 0.05},
      {a + b + page, a + page + b, 0.01}, {a + b, b + page, 0}, {"x", "y", 0}, {page + "q", "q" + page, 0.1}, {wide_old, wide_new, 0},
      {page, a + dotted, 0.9},  // NEW many times OLD: every suffix of OLD is kept
      // Shared blocks found at odd offsets, one of them twice, and runs of zeros.
      {a + std::string(5000, 0) + b, "x" + a + b.substr(0, 3000) + std::string(9000, 0) + b, 0.01},
  };
  TempDir dir;
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.old_data.size()) + " to " + std::to_string(k.new_data.size()));
    write_file(dir / "old", k.old_data, 0751);
    write_file(dir / "new", k.new_data);
    ASSERT_EQ(run_tool("zqdiff", {dir / "old", dir / "new", dir / "patch"}).exit_code, 0);
    std::string patch = read_file(dir / "patch");
    const unsigned char* h = reinterpret_cast<const unsigned char*>(patch.data());
    EXPECT_EQ(load_be32(h + 16), k.new_data.size());
    // Stored with a compression block per patch block (and one more inside
    // the diff block), the entry must still read back as the same bytes.
    size_t diff_start = kPatchHeaderSize + load_be32(h + 20), cuts[] = {diff_start, diff_start + load_be32(h + 24) / 2,
                                                                        diff_start + load_be32(h + 24)};
    PackageWriter writer;
    ASSERT_EQ(package_writer_open(&writer, (dir / "p.zav").c_str()), OK);
    ASSERT_EQ(package_writer_add_buffer(&writer, "p", patch.data(), patch.size(), 0644, cuts, 3), OK);
    ASSERT_EQ(package_writer_finish(&writer), OK);
    unlink((dir / "p.out").c_str());
    ASSERT_EQ(run_tool("zav", {"extract", dir / "p.zav", "p", dir / "p.out"}).exit_code, 0);
    EXPECT_TRUE(read_file(dir / "p.out") == patch);
    if (k.max_ratio > 0) {
      EXPECT_LE(static_cast<double>(bzip2_compressed_size(patch.data(), patch.size(), cuts, 3)) /
                    static_cast<double>(bzip2_compressed_size(k.new_data.data(), k.new_data.size())), k.max_ratio);
    }
    unlink((dir / "result").c_str());
    ASSERT_EQ(run_tool("zqpatch", {dir / "old", dir / "result", dir / "patch"}).exit_code, 0);
    EXPECT_TRUE(read_file(dir / "result") == k.new_data);
    EXPECT_EQ(file_mode(dir / "result"), 0751u);  // OLD's mode, as the updater keeps it
  }
  // The patch written over NEW, or over OLD, is still the patch of the two.
  std::string new_data = edited(bash);
  for (const char* over : {"new", "old"}) {
    SCOPED_TRACE(over);
    write_file(dir / "old", bash);
    write_file(dir / "new", new_data);
    ASSERT_EQ(run_tool("zqdiff", {dir / "old", dir / "new", dir / over}).exit_code, 0);
    ASSERT_EQ(rename((dir / over).c_str(), (dir / "patch").c_str()), 0);
    write_file(dir / "old", bash);
    unlink((dir / "result").c_str());
    ASSERT_EQ(run_tool("zqpatch", {dir / "old", dir / "result", dir / "patch"}).exit_code, 0);
    EXPECT_TRUE(read_file(dir / "result") == new_data);
  }
}

// Format 2 through the real tools and updater on an x86-64 program whole,
// cut short (no section table) and with its section table damaged: each
// patch rebuilds NEW byte for byte; make-update keeps version 2 where it is
// smaller, and an updater needs no option to apply it.
TEST(PatchFormat2, ProgramsRoundTripThroughTheUpdater) {
  std::string ls = read_file("/bin/ls"), damaged = ls;
  uint64_t table = load_le64(reinterpret_cast<const unsigned char*>(&ls[0x28]));
  for (size_t k = 1; table + 64 * k + 40 <= damaged.size(); k += 2) damaged[table + 64 * k + 24 + k % 16] ^= 0x55;
  struct Case {
    const char* name;
    std::string old_data, new_data;
  } cases[] = {
      {"a program", ls, moved_code(ls)},
      {"a program cut short", ls.substr(0, ls.size() / 2), edited(ls.substr(0, ls.size() / 2))},
      {"a damaged section table", damaged, edited(damaged)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / "old", c.old_data);
    write_file(dir / "new", c.new_data);
    write_file(dir / "install/f", c.old_data);
    ASSERT_EQ(run_tool("zqdiff", {"--patch-format", "2", dir / "old", dir / "new", dir / "patch"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "patch").substr(0, 8), "ZQDIFF20");
    make_update(dir / "update", "patch \"f.patch\" \"f\"\n", {{"f.patch", read_file(dir / "patch")}});
    run_updater(dir / "install", dir / "update");
    EXPECT_EQ(read_file(dir / "update/update.status"), "succeeded\n") << read_file(dir / "update/update.log");
    EXPECT_TRUE(read_file(dir / "install/f") == c.new_data);
  }
  TempDir dir;
  std::string text = random_bytes(30000, 3);
  plant_tree(dir / "old", {{"bin/ls", ls, 0755}, {"share/data", text}});
  plant_tree(dir / "new", {{"bin/ls", moved_code(ls), 0755}, {"share/data", edited(text)}});
  RunResult r = run_tool("make-update", {"--patch-format", "2", dir / "old", dir / "new", dir / "out"});
  EXPECT_NE(r.out.find("update.zav: 0 added, 2 patched (1 in format 2), 0 removed"), std::string::npos) << r.out << r.err;
  ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "old", dir / "install"}).exit_code, 0);
  run_updater(dir / "install", dir / "out");
  EXPECT_EQ(read_file(dir / "out/update.status"), "succeeded\n") << read_file(dir / "out/update.log");
  EXPECT_EQ(tree_diff(snapshot_tree(dir / "new"), snapshot_tree(dir / "install")), "");
}

// NEW changes while zqdiff reads it, or is cut short after zqdiff has read
// it once: the run fails with a message and leaves no patch.
TEST(Zqdiff, AnInputChangedMeanwhileLeavesNoPatch) {
  TempDir dir;
  write_file(dir / "old", random_bytes(8 << 20, 8));  // nothing shared: seconds to sort
  write_file(dir / "new", random_bytes(8 << 20, 9));
  Child child;
  ASSERT_TRUE(start_program({tool_bin("zqdiff"), "--verbose", dir / "old", dir / "new", dir / "patch"}, {},
                            dir / "out", &child));
  ASSERT_TRUE(wait_for_text(dir / "out", "zqdiff: read"));
  ASSERT_EQ(truncate((dir / "new").c_str(), 4096), 0);
  EXPECT_EQ(wait_program(&child, 120), 1);
  EXPECT_NE(read_file(dir / "out").find("zqdiff: an input was cut short while the patch was being made"),
            std::string::npos) << read_file(dir / "out");

  write_file(dir / "new", edited(read_file(dir / "old")));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> writes{0};
  std::thread writer([&] {
    int fd = open((dir / "new").c_str(), O_WRONLY);
    for (uint64_t n = 1; !stop && pwrite(fd, &n, sizeof n, 0) == sizeof n; n++) writes = n;
    close(fd);
  });
  while (writes == 0) std::this_thread::yield();
  RunResult r;  // again if the writer got no turn during a run (on a busy machine)
  for (int i = 0; i < 3 && r.exit_code != 1; i++) r = run_tool("zqdiff", {dir / "old", dir / "new", dir / "patch"});
  stop = true;
  writer.join();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("new: changed while the patch was being made"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(dir / "patch"));
}

TEST(Zqdiff, BadInputFailsWithAMessage) {
  TempDir dir;
  std::string old_data = random_bytes(20000, 7), changed = old_data;
  changed[5000] ^= 1;
  write_file(dir / "old", old_data);
  write_file(dir / "new", edited(old_data));
  make_dirs(dir / "sub");
  write_file(dir / "huge", "");  // sparse: refused by its size before a byte of it is read
  ASSERT_EQ(truncate((dir / "huge").c_str(), off_t{1} << 31), 0);
  ASSERT_EQ(run_tool("zqdiff", {dir / "old", dir / "new", dir / "patch"}).exit_code, 0);
  std::string patch = read_file(dir / "patch");
  write_file(dir / "short", patch.substr(0, patch.size() - 1));
  write_file(dir / "changed", changed);
  expect_failures("zqdiff", {{{dir / "a", dir / "a"}, 2, "usage: zqdiff"},
                             {{dir / "missing", dir / "new", dir / "p"}, 1, "missing: cannot read it"},
                             {{dir / "old", dir / "sub", dir / "p"}, 1, "sub: cannot read it"},
                             {{dir / "old", dir / "new", dir / "no/p"}, 1, "no/p: cannot write the patch"},
                             {{dir / "old", dir / "new", "/dev/full"}, 1, "/dev/full: cannot write the patch"},
                             {{dir / "huge", dir / "old", dir / "p"}, 1, "huge: files of 2 GiB or more cannot be patched"},
                             {{dir / "old", dir / "huge", dir / "p"}, 1, "huge: files of 2 GiB or more cannot be patched"}});
  expect_failures("zqpatch", {{{dir / "new", dir / "out", dir / "patch"}, 3,
                               "wrong file: " + std::to_string(edited(old_data).size()) + " bytes, the patch is for 20000"},
                              {{dir / "changed", dir / "out", dir / "patch"}, 3, "its CRC is not the one"},
                              {{dir / "old", dir / "out", dir / "short"}, 4, "wrong magic, version, transform or block"}});
  EXPECT_FALSE(exists(dir / "p"));
  EXPECT_FALSE(exists(dir / "out"));  // nothing half-written is left
  EXPECT_TRUE(exists("/dev/full"));  // ... and no device removed for it
  // --verbose names every stage with its time, the peak memory and the sizes.
  write_file(dir / "a", "a");
  RunResult verbose = run_tool("zqdiff", {"--verbose", dir / "a", dir / "a", dir / "a.patch"});
  for (const char* part : {"zqdiff: read", "zqdiff: suffix sort", "zqdiff: match search", "zqdiff: encode", "zqdiff: write",
                           "peak memory", "45 bytes, "}) {
    EXPECT_NE(verbose.err.find(part), std::string::npos) << verbose.err;
  }
  // make-update refuses such a file by its size too, before reading it, and says so once.
  plant_tree(dir.path, {{"m/new/f", "a"}, {"m/old/", "", 0755}});
  ASSERT_EQ(rename((dir / "huge").c_str(), (dir / "m/old/f").c_str()), 0);
  RunResult made = run_tool("make-update", {dir / "m/old", dir / "m/new", dir / "m/out"});
  EXPECT_EQ(made.exit_code, 1);
  EXPECT_NE(made.err.find("old/f: files of 2 GiB or more cannot be patched"), std::string::npos) << made.err;
  EXPECT_EQ(made.err.find("must stay below"), std::string::npos) << made.err;
}

TEST(Zav, CreatesListsExtractsSignsAndVerifies) {
  TempDir dir;
  std::string big = random_bytes(100000, 8);
  plant_tree(dir.path, {{"tree/bin/app", big, 0755}, {"tree/my file", "blank", 0600}, {"junk.zav", "not a package"},
                        {"bad.secret", "abc\n", 0600}, {"none.pub", "# none\n"}});
  RunResult r = run_tool("zav", {"create", dir / "u.zav", "-C", dir / "tree", "bin/app", "my file"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = run_tool("zav", {"list", dir / "u.zav"});
  EXPECT_NE(r.out.find(std::to_string(big.size()) + " 0755"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("my file"), std::string::npos) << r.out;
  ASSERT_EQ(run_tool("zav", {"extract", dir / "u.zav", "bin/app", dir / "app"}).exit_code, 0);
  EXPECT_EQ(read_file(dir / "app"), big);
  ASSERT_EQ(run_tool("zav", {"keygen", dir / "k.secret", dir / "k.pub"}, {"", {}, 0}).exit_code, 0);
  EXPECT_EQ(file_mode(dir / "k.secret"), 0600u);  // whatever the umask
  EXPECT_EQ(read_file(dir / "k.pub").size(), 65u);
  ASSERT_EQ(run_tool("zav", {"sign", dir / "u.zav", dir / "k.secret"}).exit_code, 0);
  EXPECT_EQ(run_tool("zav", {"verify", dir / "u.zav", dir / "k.pub"}).exit_code, 0);
  expect_failures("zav", {
      {{}, -1, "usage"},
      {{"create", dir / "p.zav", "-C", dir.path, "missing"}, -1, "cannot stat"},
      {{"create", dir / "p.zav", "-C", dir.path, "tree"}, -1, "not a regular file"},
      {{"list", dir / "junk.zav"}, -1, "not a readable package"},
      {{"extract", dir / "u.zav", "b", dir / "x"}, -1, "no such entry"},
      {{"extract", dir / "u.zav", "bin/app", dir / "no/x"}, -1, "cannot write"},
      {{"keygen", dir / "k.secret", dir / "n.pub"}, -1, "File exists"},
      {{"sign", dir / "u.zav", dir / "bad.secret"}, -1, "not a secret key file"},
      {{"verify", dir / "u.zav", dir / "none.pub"}, -1, "no key in"},
      {{"verify", dir / "junk.zav", dir / "k.pub"}, -1, "junk.zav.sig: No such file"},
  });
  EXPECT_FALSE(exists(dir / "p.zav"));
  EXPECT_FALSE(exists(dir / "n.pub"));
  // A source that the writer cannot open, past zav's own checks.
  RunOptions user;
  if ((user.uid = unprivileged_uid()) == 0) return;
  write_file(dir / "sealed", "s", 0);
  chmod(dir.path.c_str(), 0777);
  r = run_tool("zav", {"create", dir / "p.zav", "-C", dir.path, "sealed"}, user);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("sealed: cannot read"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(dir / "p.zav"));
}

TEST(Install, PutsTheStringsFileBesideTheUpdater) {
  std::string build = tool_bin("").substr(0, tool_bin("").rfind("/tools/"));  // this build, whatever updater is tested
  TempDir prefix;
  RunResult r = run_program({"/bin/sh", "-c", "cmake --install \"$0\" --prefix \"$1\"", build, prefix.path});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(file_mode(prefix / "bin/updater") & 0111, 0111u);
  EXPECT_NE(read_file(prefix / "bin/updater.ini").find("Title=Updating\n"), std::string::npos);
}

}  // namespace
