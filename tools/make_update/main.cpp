// make-update: compares two installation trees and writes the package that
// turns the first into the second.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/release_statement.h"
#include "base/make_directories.h"
#include "base/printable.h"
#include "base/status.h"
#include "base/command_line.h"
#include "packaging/package_build.h"
#include "packaging/tree_scan.h"
#include "packaging/update_plan.h"

namespace {

const char kUsage[] =
    "usage: make-update OLD_DIR NEW_DIR OUT_DIR [--if-present PATH]...\n"
    "                   [--secret-key SECRET] [--patch-format 1|2]\n"
    "       make-update -h|--help|-V|--version\n";
const char kHelp[] =
    "Writes OUT_DIR/update.zav, the package that turns the installed tree OLD_DIR\n"
    "into NEW_DIR: files, directories and symbolic links.\n"
    "  --if-present PATH   lines for files under PATH act only where PATH exists\n"
    "  --secret-key SECRET also write OUT_DIR/update.zav.sig signed with this key\n"
    "                      (--sign SECRET, the old spelling, still works)\n"
    "  --patch-format 2    patch x86-64 programs in format 2 where that is smaller\n"
    "                      (only for installations whose updater reads it);\n"
    "                      1, the default, is read by every updater\n"
    "Exit status: 0 written, 1 refused or failed (nothing written), 2 wrong call.\n";

int usage() { return usage_error(kUsage); }

bool show_progress = false;

void progress_line(size_t done, size_t total, const std::string& path) {
  if (!show_progress) return;
  // One line rewritten in place; cleared at the end.
  if (done < total)
    fprintf(stderr, "\r\033[Kmake-update: %zu/%zu %s", done + 1, total, printable(path).c_str());
  else
    fprintf(stderr, "\r\033[K");
  fflush(stderr);
}

void print_list(const char* heading, const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    fprintf(stderr, "make-update: %s: %s\n", heading, printable(line).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional, optional;
  const char* secret = nullptr;
  uint32_t patch_format = 1;
  if (standard_option(argc, argv, "make-update", kUsage, kHelp)) return 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0) {  // anywhere, as it always was
      fputs(kUsage, stdout);
      fputs(kHelp, stdout);
      return 0;
    }
    if (strcmp(argv[i], "--patch-format") == 0) {
      if (i + 1 >= argc) return usage();
      const char* value = argv[++i];
      if (strcmp(value, "1") != 0 && strcmp(value, "2") != 0) {
        fprintf(stderr, "make-update: --patch-format %s: must be 1 or 2\n", value);
        return usage();
      }
      patch_format = value[0] == '2' ? 2 : 1;
    } else if (strcmp(argv[i], "--secret-key") == 0 || strcmp(argv[i], "--sign") == 0) {
      if (strcmp(argv[i], "--sign") == 0) deprecated_option("make-update", "--sign", "--secret-key");
      if (i + 1 >= argc) return usage();
      secret = argv[++i];
      // Fail before the long part of the work, not after it.
      if (access(secret, R_OK) != 0) {
        fprintf(stderr, "make-update: --secret-key %s: %s\n", secret, strerror(errno));
        return 2;
      }
    } else if (strcmp(argv[i], "--if-present") == 0) {
      if (i + 1 >= argc) return usage();
      std::string p = normalise_relative(argv[++i]);
      if (p.empty() || p.find_first_of("\"\r\n") != std::string::npos) {
        fprintf(stderr, "make-update: --if-present %s: must be a relative path inside the "
                        "installation, without \"..\" or quotes\n", argv[i]);
        return 2;
      }
      optional.push_back(p);
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return usage();
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() != 3) return usage();
  const std::string& old_root = positional[0];
  const std::string& new_root = positional[1];
  const std::string& out_dir = positional[2];
  show_progress = isatty(STDERR_FILENO);
  for (const std::string* tree : {&old_root, &new_root}) {
    if (lies_inside(out_dir, *tree)) {
      fprintf(stderr, "make-update: %s: OUT_DIR must not lie inside %s\n", out_dir.c_str(),
              tree->c_str());
      return 2;
    }
  }

  // Every problem of both trees in one report: a tree that cannot be read
  // whole is still compared as far as it was read.
  TreeScan old_tree, new_tree;
  int old_rc = scan_tree(old_root, &old_tree);
  int new_rc = scan_tree(new_root, &new_tree);
  UpdatePlan plan;
  plan_update(old_root, old_tree, new_root, new_tree, optional, &plan);
  print_list("refused", old_tree.problems);
  print_list("refused", new_tree.problems);
  print_list("warning", plan.warnings);
  print_list("refused", plan.refused);
  if (old_rc != OK || new_rc != OK || !old_tree.problems.empty() || !new_tree.problems.empty() ||
      !plan.refused.empty()) {
    fprintf(stderr, "make-update: no package written\n");
    return 1;
  }

  if (make_directories(out_dir) != OK) {
    fprintf(stderr, "make-update: %s: cannot create the directory: %s\n", out_dir.c_str(),
            strerror(errno));
    return 1;
  }
  std::string package = out_dir + "/update.zav";
  BuildTotals totals;
  std::string error;
  if (build_package(old_root, new_root, plan, package, progress_line, &totals, &error,
                    patch_format) != OK) {
    fprintf(stderr, "make-update: %s\nmake-update: no package written\n", printable(error).c_str());
    return 1;
  }
  if (secret != nullptr) {
    int detail = 0;
    const char* failed = nullptr;
    int rc = sign_package_file(package.c_str(), secret, "", "", &detail, &failed);
    if (rc != OK) {
      // An unsigned package must not be shipped by mistake.
      unlink(package.c_str());
      unlink((package + ".sig").c_str());
      fprintf(stderr, "make-update: cannot sign with %s: %s; no package written\n", secret,
              rc == ERR_BAD_DATA ? "not a secret key file" : strerror(detail));
      return 1;
    }
    printf("%s.sig: signed with %s\n", package.c_str(), secret);
  }
  printf("%s: %d added, %d patched", package.c_str(), totals.added, totals.patched);
  if (patch_format == 2) printf(" (%d in format 2)", totals.patched_v2);
  printf(", %d removed", totals.removed);
  if (totals.linked + totals.dirs_made + totals.dirs_removed > 0)
    printf(", %d linked, %d directories made, %d directories removed", totals.linked,
           totals.dirs_made, totals.dirs_removed);
  printf("; package %lld bytes; patching saved %lld bytes\n",
         static_cast<long long>(totals.package_size),
         static_cast<long long>(totals.saved_by_patching));
  return 0;
}
