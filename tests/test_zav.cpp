// The zav tool: packages built, listed and unpacked by hand, and clear
// failures on bad input.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

RunResult zav(const std::vector<std::string>& args, const std::string& cwd = "") {
  std::vector<std::string> argv = {tool_bin("zav")};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.cwd = cwd;
  return run_program(argv, options);
}

TEST(Zav, CreateListExtractRoundTrip) {
  TempDir dir;
  std::string big;
  for (int i = 0; i < 20000; i++) big += "line " + std::to_string(i) + "\n";
  write_file(dir / "tree/bin/app", big, 0755);
  write_file(dir / "tree/my file.txt", "blank in the name", 0600);
  write_file(dir / "tree/update.manifest", "add \"bin/app\"\n", 0644);
  std::string package = dir / "u.zav";

  RunResult r = zav({"create", package, "-C", dir / "tree", "update.manifest", "bin/app",
                     "my file.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;

  r = zav({"list", package});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("bin/app"), std::string::npos);
  EXPECT_NE(r.out.find(std::to_string(big.size()) + " 0755"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("my file.txt"), std::string::npos);
  EXPECT_NE(r.out.find("17 0600"), std::string::npos) << r.out;

  r = zav({"extract", package, "bin/app", dir / "app.out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / "app.out"), big);
  EXPECT_EQ(file_mode(dir / "app.out"), 0755u);

  // Relative names without -C are taken from the current directory.
  r = zav({"create", dir / "v.zav", "update.manifest"}, dir / "tree");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = zav({"extract", dir / "v.zav", "update.manifest", dir / "m"});
  EXPECT_EQ(read_file(dir / "m"), "add \"bin/app\"\n");
}

TEST(Zav, BadInputFailsWithAMessage) {
  TempDir dir;
  write_file(dir / "a", "a");
  write_file(dir / "junk.zav", "not a package");
  make_dirs(dir / "sub");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "usage"},
      {{"frob"}, "usage"},
      {{"create", dir / "p.zav"}, "usage"},
      {{"create", dir / "p.zav", "-C"}, "usage"},
      {{"create", dir / "p.zav", "-C", dir.path, "missing"}, "cannot stat"},
      {{"create", dir / "p.zav", "-C", dir.path, "sub"}, "not a regular file"},
      {{"create", dir / "no/dir/p.zav", "-C", dir.path, "a"}, "cannot create package"},
      {{"list", dir / "junk.zav"}, "not a readable package"},
      {{"list", dir / "missing.zav"}, "not a readable package"},
      {{"extract", dir / "junk.zav", "a", dir / "x"}, "not a readable package"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    RunResult r = zav(c.args);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(exists(dir / "p.zav"));  // a failed create leaves no package

  ASSERT_EQ(zav({"create", dir / "p.zav", "-C", dir.path, "a"}).exit_code, 0);
  RunResult r = zav({"extract", dir / "p.zav", "b", dir / "x"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("no such entry"), std::string::npos);
  r = zav({"extract", dir / "p.zav", "a", dir / "no/dir/x"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

}  // namespace
