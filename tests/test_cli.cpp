// Each program's command line pinned in a golden file, tests/cli/*.cli:
//
//   $ COMMAND...          run by sh in an empty temporary directory, with the
//                         build's programs first on PATH
//   exit N                the exit status it must end with
//   --- stdout            then its standard output, line for line
//   --- stderr            then its standard error, line for line
//
// CLI_UPDATE=1 writes what each command does now into its file instead.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

struct Golden {
  std::string command, out, err;
  int exit_code = -1;
};

Golden parse(const std::string& text) {
  Golden g;
  std::istringstream in(text);
  std::string* section = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("$ ", 0) == 0 && section == nullptr) g.command = line.substr(2);
    else if (line.rfind("exit ", 0) == 0 && section == nullptr) g.exit_code = std::stoi(line.substr(5));
    else if (line == "--- stdout") section = &g.out;
    else if (line == "--- stderr") section = &g.err;
    else if (section != nullptr) *section += line + "\n";
  }
  return g;
}

TEST(CommandLine, EveryProgramAnswersAsItsGoldenFileSays) {
  std::vector<std::string> names;
  if (DIR* d = opendir(CLI_CASES)) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".cli") == 0) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  ASSERT_FALSE(names.empty());
  std::string path = tool_bin("") + ":" + updater_bin().substr(0, updater_bin().rfind('/')) + ":/usr/bin:/bin";
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Golden g = parse(read_file(std::string(CLI_CASES) + "/" + name));
    TempDir dir;
    RunOptions options;
    options.cwd = dir.path;
    options.env = {"PATH=" + path};
    RunResult r = run_program({"/bin/sh", "-c", g.command}, options);
    if (getenv("CLI_UPDATE") != nullptr) {
      write_file(std::string(CLI_CASES) + "/" + name, "$ " + g.command + "\nexit " + std::to_string(r.exit_code) +
                                                          "\n--- stdout\n" + r.out + "--- stderr\n" + r.err);
      continue;
    }
    EXPECT_EQ(r.exit_code, g.exit_code);
    EXPECT_EQ(r.out, g.out);
    EXPECT_EQ(r.err, g.err);
  }
}

}  // namespace
