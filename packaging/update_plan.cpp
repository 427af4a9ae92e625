// Comparing two scanned trees into manifest changes.
#include "packaging/update_plan.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "actions/backup.h"
#include "actions/path_check.h"
#include "base/status.h"

namespace {

const char kManifestName[] = "update.manifest";

// Compares two scanned files byte by byte; sizes are known to be equal. A
// file that cannot be read, or is no longer the file scanned, counts as
// changed, and the later read reports it.
bool same_content(const std::string& a, const FileIdentity& a_seen, const std::string& b,
                  const FileIdentity& b_seen) {
  UniqueFd fa, fb;
  bool same = open_as_scanned(a.c_str(), a_seen, &fa) == OK && open_as_scanned(b.c_str(), b_seen, &fb) == OK;
  static char ba[1 << 16], bb[1 << 16];
  while (same) {
    ssize_t na = read(fa.fd, ba, sizeof ba);
    ssize_t nb = na > 0 ? read(fb.fd, bb, static_cast<size_t>(na)) : 0;
    if (na < 0 || nb != na || memcmp(ba, bb, static_cast<size_t>(na)) != 0) same = false;
    if (na == 0) break;
  }
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

// Whether `dir` holds anything of `tree` (files, links or directories below it).
bool has_entries_under(const TreeScan& tree, const std::string& dir) {
  auto f = tree.files.lower_bound(dir + "/");
  if (f != tree.files.end() && is_under(f->first, dir)) return true;
  auto l = tree.links.lower_bound(dir + "/");
  if (l != tree.links.end() && is_under(l->first, dir)) return true;
  auto d = tree.dirs.lower_bound(dir + "/");
  return d != tree.dirs.end() && is_under(d->first, dir);
}

std::string mode_text(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
  return text;
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
                 const std::vector<std::string>& optional, UpdatePlan* plan, bool every_mode) {
  *plan = UpdatePlan{};
  std::vector<PlannedChange> removes, rmdirs, others;

  // Files and links that go, or become directories; a link or file that
  // takes the place of the other kind replaces it in one action instead.
  for (const auto& [path, file] : old_tree.files) {
    if (new_tree.files.count(path) == 0 && new_tree.links.count(path) == 0)
      removes.push_back({ChangeKind::kRemove, path, "", "", 0, ""});
  }
  for (const auto& [path, target] : old_tree.links) {
    if (new_tree.files.count(path) == 0 && new_tree.links.count(path) == 0)
      removes.push_back({ChangeKind::kRemove, path, "", "", 0, ""});
  }
  std::sort(removes.begin(), removes.end(),
            [](const PlannedChange& a, const PlannedChange& b) { return a.path < b.path; });
  // Reverse path order puts every directory after everything below it.
  for (auto d = old_tree.dirs.rbegin(); d != old_tree.dirs.rend(); ++d) {
    if (new_tree.dirs.count(d->first) == 0)
      rmdirs.push_back({ChangeKind::kRmdir, d->first, "", "", 0, ""});
  }

  for (const auto& [path, file] : new_tree.files) {
    auto old_file = old_tree.files.find(path);
    ChangeKind kind;
    if (old_file == old_tree.files.end() || old_file->second.mode != file.mode) {
      // A patch keeps the installed file's mode, so a new mode needs the
      // whole file.
      kind = ChangeKind::kAdd;
    } else if (old_file->second.id.size == file.id.size &&
               same_content(old_root + "/" + path, old_file->second.id, new_root + "/" + path, file.id)) {
      continue;
    } else {
      kind = ChangeKind::kPatchOrAdd;
    }
    FileIdentity old_id = kind == ChangeKind::kPatchOrAdd ? old_file->second.id : FileIdentity{};
    others.push_back({kind, path, "", guard_for(path, optional), file.mode, "", old_id, file.id});
  }
  for (const auto& [path, target] : new_tree.links) {
    auto old_link = old_tree.links.find(path);
    if (old_link != old_tree.links.end() && old_link->second == target) continue;
    if (!guard_for(path, optional).empty()) {
      plan->warnings.push_back(path + ": link under an --if-present path is not carried (a link "
                               "line has no guarded form)");
      continue;
    }
    others.push_back({ChangeKind::kLink, path, "", "", 0, target});
  }
  // Directories the updater makes for files get 0755 (less its umask); any
  // other mode, and an empty new directory, needs a mkdir line.
  for (const auto& [dir, mode] : new_tree.dirs) {
    auto old_dir = old_tree.dirs.find(dir);
    bool is_new = old_dir == old_tree.dirs.end();
    bool mode_needed = every_mode || (is_new ? mode != 0755 : old_dir->second != mode);
    if (!mode_needed && (!is_new || has_entries_under(new_tree, dir))) continue;
    if (!guard_for(dir, optional).empty()) {
      plan->warnings.push_back(dir + ": directory under an --if-present path is not carried (a "
                               "mkdir line has no guarded form)");
      continue;
    }
    others.push_back({ChangeKind::kMkdir, dir, "", "", 0, mode_needed ? mode_text(mode) : ""});
  }
  std::sort(others.begin(), others.end(),
            [](const PlannedChange& a, const PlannedChange& b) { return a.path < b.path; });
  // A directory's mode comes after its contents are in place, deepest first:
  // a read-only directory would refuse them to any user but root.
  std::vector<PlannedChange> modes;
  for (auto c = others.rbegin(); c != others.rend(); ++c) {
    if (c->kind == ChangeKind::kMkdir && !c->target.empty()) modes.push_back(*c);
  }
  others.erase(std::remove_if(others.begin(), others.end(),
                              [](const PlannedChange& c) { return c.kind == ChangeKind::kMkdir && !c.target.empty(); }),
               others.end());

  std::set<std::string> taken = {kManifestName};
  for (const PlannedChange& c : others) taken.insert(c.path);
  for (PlannedChange& c : others) {
    if (c.path == kManifestName && c.kind == ChangeKind::kAdd)
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
  for (const std::vector<PlannedChange>* list : {&removes, &rmdirs, &others}) {
    for (const PlannedChange& c : *list) {
      if (check_installed_path(c.path.c_str()) != OK)
        plan->refused.push_back(c.path + ": path too long for the updater's backup name");
    }
  }
  for (const std::string& o : optional) {
    if (old_tree.files.count(o) == 0 && old_tree.dirs.count(o) == 0 && old_tree.links.count(o) == 0)
      plan->warnings.push_back(o + ": --if-present path is not in OLD_DIR; installations like "
                               "it will not get its files");
  }

  plan->changes = std::move(removes);
  plan->changes.insert(plan->changes.end(), rmdirs.begin(), rmdirs.end());
  plan->changes.insert(plan->changes.end(), others.begin(), others.end());
  plan->changes.insert(plan->changes.end(), modes.begin(), modes.end());
}
