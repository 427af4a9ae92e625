// Comparing two scanned trees into manifest changes.
#include "tools/make_update/update_plan.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "actions/backup.h"
#include "actions/path_check.h"
#include "driver/status.h"

namespace {

const char kManifestName[] = "update.manifest";

// Compares two files byte by byte; sizes are known to be equal. A file that
// cannot be read counts as changed, and the later read reports it.
bool same_content(const std::string& a, const std::string& b) {
  int fa = open(a.c_str(), O_RDONLY);
  int fb = open(b.c_str(), O_RDONLY);
  bool same = fa >= 0 && fb >= 0;
  static char ba[1 << 16], bb[1 << 16];
  while (same) {
    ssize_t na = read(fa, ba, sizeof ba);
    ssize_t nb = na > 0 ? read(fb, bb, static_cast<size_t>(na)) : 0;
    if (na < 0 || nb != na || memcmp(ba, bb, static_cast<size_t>(na)) != 0) same = false;
    if (na == 0) break;
  }
  if (fa >= 0) close(fa);
  if (fb >= 0) close(fb);
  return same;
}

bool is_under(const std::string& path, const std::string& dir) {
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         path[dir.size()] == '/');
}

std::string guard_for(const std::string& path, const std::vector<std::string>& optional) {
  // The longest (innermost) optional path wins.
  std::string guard;
  for (const std::string& o : optional)
    if (is_under(path, o) && o.size() > guard.size()) guard = o;
  return guard;
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Whether `dir` holds anything of `tree` (files or directories below it).
bool has_entries_under(const TreeScan& tree, const std::string& dir) {
  auto f = tree.files.lower_bound(dir + "/");
  if (f != tree.files.end() && is_under(f->first, dir)) return true;
  auto d = tree.dirs.lower_bound(dir + "/");
  return d != tree.dirs.end() && is_under(*d, dir);
}

}  // namespace

std::string normalise_relative(const std::string& path) {
  std::string p = path;
  while (p.compare(0, 2, "./") == 0) p.erase(0, 2);
  while (!p.empty() && p.back() == '/') p.pop_back();
  if (p.empty() || p == "." || check_installed_path(p.c_str()) != OK) return "";
  return p;
}

void plan_update(const std::string& old_root, const TreeScan& old_tree,
                 const std::string& new_root, const TreeScan& new_tree,
                 const std::vector<std::string>& optional, UpdatePlan* plan) {
  *plan = UpdatePlan{};
  std::vector<PlannedChange> removes, others;

  for (const auto& [path, file] : old_tree.files) {
    if (new_tree.files.count(path) == 0) removes.push_back({ChangeKind::kRemove, path, "", "", 0});
  }
  for (const auto& [path, file] : new_tree.files) {
    auto old_file = old_tree.files.find(path);
    ChangeKind kind;
    if (old_file == old_tree.files.end() || old_file->second.mode != file.mode) {
      // A patch keeps the installed file's mode, so a new mode needs the
      // whole file.
      kind = ChangeKind::kAdd;
    } else if (old_file->second.size == file.size &&
               same_content(old_root + "/" + path, new_root + "/" + path)) {
      continue;
    } else {
      kind = ChangeKind::kPatchOrAdd;
    }
    others.push_back({kind, path, "", guard_for(path, optional), file.mode});
  }

  // Directories: a file cannot replace a directory (no action removes one),
  // and a directory that goes away stays behind, emptied.
  for (const std::string& dir : old_tree.dirs) {
    if (new_tree.files.count(dir) != 0)
      plan->refused.push_back(dir + ": a directory in OLD_DIR is a file in NEW_DIR; no manifest "
                              "action removes a directory");
    else if (new_tree.dirs.count(dir) == 0 && new_tree.files.count(dir) == 0) {
      std::string parent = dir.substr(0, dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/'));
      bool parent_gone = dir.find('/') != std::string::npos && new_tree.dirs.count(parent) == 0;
      if (!parent_gone)
        plan->warnings.push_back(dir + ": directory missing from NEW_DIR; its files are removed "
                                 "but the directory stays (no action removes directories)");
    }
  }
  for (const std::string& dir : new_tree.dirs) {
    if (old_tree.dirs.count(dir) == 0 && !has_entries_under(new_tree, dir))
      plan->warnings.push_back(dir + ": empty directory in NEW_DIR is not carried (only files "
                               "are)");
  }

  std::set<std::string> taken = {kManifestName};
  for (const PlannedChange& c : others) taken.insert(c.path);
  for (PlannedChange& c : others) {
    if (check_installed_path(c.path.c_str()) != OK)
      plan->refused.push_back(c.path + ": path too long for the updater's backup name");
    if (ends_with(c.path, kBackupSuffix))
      plan->refused.push_back(c.path + ": the updater keeps its backups under such names");
    if (c.path == kManifestName && c.kind != ChangeKind::kPatchOrAdd)
      plan->refused.push_back(c.path + ": the package's own manifest entry has this name");
    if (c.kind == ChangeKind::kPatchOrAdd) {
      // Never the name of another entry: every changed or new path might be
      // added whole, so all of them are taken.
      std::string name = c.path + ".patch";
      for (int n = 1; taken.count(name) != 0; n++) name = c.path + ".patch." + std::to_string(n);
      taken.insert(name);
      c.patch_entry = name;
    }
  }
  for (const PlannedChange& c : removes) {
    if (check_installed_path(c.path.c_str()) != OK)
      plan->refused.push_back(c.path + ": path too long for the updater's backup name");
  }
  for (const std::string& o : optional) {
    if (old_tree.files.count(o) == 0 && old_tree.dirs.count(o) == 0)
      plan->warnings.push_back(o + ": --if-present path is not in OLD_DIR; installations like "
                               "it will not get its files");
  }

  plan->changes = std::move(removes);
  plan->changes.insert(plan->changes.end(), others.begin(), others.end());
}
