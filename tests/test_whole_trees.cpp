// Whole trees through make-update and the updater: files, directories and
// symbolic links, every kind of change between two releases, applied to a
// copy of OLD; and what a failed run gives back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

// One path of a tree: 'f' file (content), 'd' directory, 'l' link, 0 absent.
struct Node {
  char type;
  std::string data;
  mode_t mode = 0644;
};
struct Row {
  std::string path;
  Node old_node, new_node;
};

const Node kNone = {0, ""};
Node file(const std::string& content, mode_t mode = 0644) { return {'f', content, mode}; }
Node link_to(const std::string& target) { return {'l', target}; }
const Node kDir = {'d', "", 0755};

// Every kind of change a release makes to a tree. "zz-new-empty" sorts last,
// so its mkdir is the package's last line.
const std::vector<Row> kRows = {
    {"lib/libfoo.so.1.2.3", file("library 1.2.3", 0755), file("library 1.2.3", 0755)},
    {"lib/libfoo.so.1", link_to("libfoo.so.1.2.3"), link_to("libfoo.so.1.2.3")},
    {"lib/libfoo.so.1.2.4", kNone, file("library 1.2.4", 0755)},
    {"bin/app", link_to("../lib/libfoo.so.1.2.3"), link_to("../lib/libfoo.so.1.2.4")},
    {"bin/new-link", kNone, link_to("../lib/libfoo.so.1")},
    {"bin/old-link", link_to("app"), kNone},
    {"bin/dangling", link_to("nowhere"), link_to("nowhere")},
    {"bin/new-dangling", kNone, link_to("/nonexistent/updater-test")},
    {"bin/lib-dir", kNone, link_to("../lib")},
    {"bin/old-lib-dir", link_to("../lib"), kNone},
    {"share/new-empty", kNone, kDir},
    {"share/old-empty", kDir, kNone},
    {"gone/a", file("a"), kNone},
    {"gone/sub/b", file("b", 0600), kNone},
    {"gone/sub/deeper", kDir, kNone},
    {"dir-to-file/x", file("x"), kNone},
    {"dir-to-file", kDir, file("now a file")},
    {"dir-to-link/x", file("x"), kNone},
    {"dir-to-link", kDir, link_to("lib")},
    {"file-to-dir", file("was a file", 0600), kDir},
    {"file-to-dir/inside", kNone, file("in the new directory")},
    {"file-to-link", file("was a file"), link_to("lib/libfoo.so.1")},
    {"link-to-file", link_to("../outside/secret"), file("now a file")},
    {"link-to-dir", link_to("lib"), kDir},
    {"link-to-dir/x", kNone, file("x")},
    {"mode-only", file("same bytes"), file("same bytes", 0755)},
    {"share/private", kDir, {'d', "", 0700}},
    {"zz-new-empty", kNone, {'d', "", 0750}},
};

void plant(const std::string& root, const std::string& path, const Node& n) {
  std::string full = root + "/" + path;
  make_dirs(full.substr(0, full.rfind('/')));
  if (n.type == 'f') write_file(full, n.data, n.mode);
  if (n.type == 'd') {
    make_dirs(full);
    chmod(full.c_str(), n.mode);
  }
  if (n.type == 'l') {
    ASSERT_EQ(symlink(n.data.c_str(), full.c_str()), 0) << full;
  }
}

// Directories first, so that a file row inside one sees it made already.
void plant_side(const std::string& root, bool new_side) {
  make_dirs(root);
  for (char pass : {'d', 'f'}) {
    for (const Row& r : kRows) {
      const Node& n = new_side ? r.new_node : r.old_node;
      if ((n.type == 'd') == (pass == 'd') && n.type != 0) plant(root, r.path, n);
    }
  }
}

struct Case {
  const char* name;
  std::vector<Row> user;   // put into the copy of OLD before the run (new_node)
  const char* status;
  bool ends_as_new;        // else: every OLD path as it was
  std::string log_has;     // a line the log must hold
};

// Runs the package of OLD -> NEW on a copy of OLD with the case's additions,
// and compares the tree with NEW (or OLD, for a failed run) plus those
// additions. A failed run may leave what it newly created, nothing else.
void check_case(const TempDir& dir, const Case& c) {
  SCOPED_TRACE(c.name);
  TempDir run;
  ASSERT_EQ(run_program({"/bin/cp", "-a", dir / "old", run / "install"}).exit_code, 0);
  make_dirs(run / "update");
  ASSERT_EQ(run_program({"/bin/cp", dir / "out/update.zav", run / "update/"}).exit_code, 0);
  for (const Row& r : c.user) plant(run / "install", r.path, r.new_node);

  run_updater(run / "install", run / "update");
  std::string log = read_file(run / "update/update.log");
  EXPECT_EQ(read_file(run / "update/update.status"), c.status) << log;
  EXPECT_NE(log.find(c.log_has), std::string::npos) << log;

  Tree expected = snapshot_tree(c.ends_as_new ? dir / "new" : dir / "old");
  TempDir scratch;
  for (const Row& u : c.user) plant(scratch.path, u.path, u.new_node);
  for (const auto& [path, node] : snapshot_tree(scratch.path)) expected[path] = node;

  Tree actual = snapshot_tree(run / "install");
  if (!c.ends_as_new) {
    for (auto it = actual.begin(); it != actual.end();) {
      bool keep = expected.count(it->first) != 0 ||
                  it->first.find(".kiv-backup") != std::string::npos;
      it = keep ? std::next(it) : actual.erase(it);
    }
  }
  EXPECT_EQ(tree_diff(expected, actual), "") << log;
  EXPECT_EQ(read_file(dir / "outside/secret"), "outside the installation");
}

TEST(WholeTrees, PackageOfEveryKindOfChangeAppliesAndFailsBackToOld) {
  TempDir dir;
  plant_side(dir / "old", false);
  plant_side(dir / "new", true);
  write_file(dir / "outside/secret", "outside the installation");

  RunResult r = run_program({tool_bin("make-update"), dir / "old", dir / "new", dir / "out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = run_program({tool_bin("zav"), "extract", dir / "out/update.zav", "update.manifest",
                   dir / "manifest"});
  EXPECT_EQ(read_file(dir / "manifest"),
            "# Made by make-update: 29 changes.\n"
            "remove \"bin/old-lib-dir\"\n"
            "remove \"bin/old-link\"\n"
            "remove \"dir-to-file/x\"\n"
            "remove \"dir-to-link/x\"\n"
            "remove \"file-to-dir\"\n"
            "remove \"gone/a\"\n"
            "remove \"gone/sub/b\"\n"
            "remove \"link-to-dir\"\n"
            "rmdir \"share/old-empty\"\n"
            "rmdir \"gone/sub/deeper\"\n"
            "rmdir \"gone/sub\"\n"
            "rmdir \"gone\"\n"
            "rmdir \"dir-to-link\"\n"
            "rmdir \"dir-to-file\"\n"
            "link \"bin/app\" \"../lib/libfoo.so.1.2.4\"\n"
            "link \"bin/lib-dir\" \"../lib\"\n"
            "link \"bin/new-dangling\" \"/nonexistent/updater-test\"\n"
            "link \"bin/new-link\" \"../lib/libfoo.so.1\"\n"
            "add \"dir-to-file\"\n"
            "link \"dir-to-link\" \"lib\"\n"
            "add \"file-to-dir/inside\"\n"
            "link \"file-to-link\" \"lib/libfoo.so.1\"\n"
            "add \"lib/libfoo.so.1.2.4\"\n"
            "add \"link-to-dir/x\"\n"
            "add \"link-to-file\"\n"
            "add \"mode-only\"\n"
            "mkdir \"share/new-empty\"\n"
            "mkdir \"share/private\" \"0700\"\n"
            "mkdir \"zz-new-empty\" \"0750\"\n");

  const Case cases[] = {
      {"applied to OLD", {}, "succeeded\n", true, "FINISH MKDIR zz-new-empty\n"},
      // A file where the last line's directory goes fails that line.
      {"failed at the last line", {{"zz-new-empty", kNone, file("in the way")}}, "failed: 7\n",
       false, "a file stands where the directory goes: zz-new-empty\n"},
      // The second file has the backup name of "dir-to-link/x" as seen
      // through the new link: the run must not reach it through that link.
      {"user's files in a directory that goes and behind a new link",
       {{"gone/sub/mine.txt", kNone, file("the user's own")},
        {"lib/x.kiv-backup", kNone, file("the user's own")}},
       "succeeded\n", true,
       "directory not empty, left in place: gone/sub\n"},
  };
  for (const Case& c : cases) check_case(dir, c);
}

// Nothing reaches outside the installation through a link it holds, and the
// new lines' arguments are checked before anything runs.
TEST(WholeTrees, NewLinesNeverActThroughALinkAndRefuseBadArguments) {
  const std::string refused = "refused, a symbolic link on the way: ";
  struct Row {
    std::string line, log, status;
  } rows[] = {
      {"link \"a/b\" \"x\"", refused + "a/b\n### execution failed\n", "failed: 7\n"},
      {"mkdir \"a/n\"", refused + "a/n\n### execution failed\n", "failed: 7\n"},
      {"rmdir \"a/d\"", refused + "a/d\n### execution failed\n", "failed: 7\n"},
      {"rmdir \"a\"", "not a directory, left in place: a\n", "succeeded\n"},
      {"mkdir \"q\" \"0999\"", "bad manifest line: mkdir \"q\" \"0999\"\n", "failed: 5\n"},
      {"link \"q\"", "bad manifest line: link \"q\"\n", "failed: 5\n"},
      {"link \"../q\" \"x\"", "unsafe path refused: ../q\n", "failed: 5\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    TempDir root;
    make_dirs(root / "outside/d");
    make_dirs(root / "install");
    ASSERT_EQ(symlink((root / "outside").c_str(), (root / "install/a").c_str()), 0);
    make_update(root / "update", r.line + "\n");
    run_updater(root / "install", root / "update");
    std::string log = read_file(root / "update/update.log");
    EXPECT_NE(log.find(r.log), std::string::npos) << log;
    EXPECT_EQ(read_file(root / "update/update.status"), r.status);
    EXPECT_EQ(tree_diff({{"d", TreeNode{'d', 0755, ""}}}, snapshot_tree(root / "outside")), "");
    EXPECT_EQ(snapshot_tree(root / "install").size(), 1u);
  }
}

TEST(WholeTrees, ToolsAnswerHelpAndRefuseWrongCalls) {
  TempDir dir;
  write_file(dir / "a", "a");
  struct Call {
    std::vector<std::string> argv;
    int exit_code;
    const char* out;  // in standard output
    const char* err;  // in standard error
  } calls[] = {
      {{"zav", "--help"}, 0, "usage: zav create", ""},
      {{"zqpatch", "--help"}, 0, "usage: zqpatch", ""},
      {{"make-update", "--help"}, 0, "--sign SECRET", ""},
      {{"zqpatch", "a"}, 2, "", "usage: zqpatch"},
      {{"make-update", dir / "old", dir / "new", dir / "out", "--frob"}, 2, "", "usage:"},
      {{"make-update", dir / "old", dir / "new", dir / "new/out"}, 2, "",
       "OUT_DIR must not lie inside"},
      {{"zav", "create", dir / "p.zav", "-C", dir.path, "a", "../a"}, 1, "",
       "entry name the updater refuses"},
      {{"zav", "create", dir / "p.zav", dir / "a"}, 1, "", "entry name the updater refuses"},
  };
  for (Call& c : calls) {
    SCOPED_TRACE(c.argv[0] + " " + c.argv[1]);
    c.argv[0] = tool_bin(c.argv[0]);
    RunResult r = run_program(c.argv);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_FALSE(exists(dir / "new/out"));
  EXPECT_FALSE(exists(dir / "p.zav"));
}

}  // namespace
