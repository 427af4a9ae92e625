// Tables of whole runs: an installation, a manifest and its entries, and the
// log, status and installation that the run must leave, byte for byte.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace testing_support {

struct ActionCase {
  const char* name;
  std::vector<TreeFile> before;  // the installation before the run
  std::string manifest;
  std::vector<PackageFile> entries;
  std::string log;
  std::string status;
  std::vector<TreeFile> after;  // the whole installation after the run
  RunOptions options = {};      // of the updater's process
};

// Runs each case on a fresh installation (with an update directory that any
// user may write) and compares the log (after kUnverifiedLine), the status
// file and the tree.
inline void check_action_cases(const std::vector<ActionCase>& cases) {
  for (const ActionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    std::string install = root / "install", updates = root / "updates";
    make_dirs(install);
    plant_tree(install, c.before);
    make_update(updates, c.manifest, c.entries);
    chmod(updates.c_str(), 0777);
    RunResult r = run_updater(install, updates, {}, c.options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(updates + "/update.log"), kUnverifiedLine + c.log);
    EXPECT_EQ(read_file(updates + "/update.status"), c.status);
    EXPECT_EQ(tree_diff(tree_of(c.after), snapshot_tree(install)), "");
  }
}

}  // namespace testing_support
