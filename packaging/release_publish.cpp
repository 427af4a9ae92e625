// Packages of a release: planned, built, signed with the version they bring,
// and listed as targets.
#include "packaging/release_publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/release_statement.h"
#include "archive/release_version.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/status.h"
#include "feed/digest.h"
#include "packaging/package_build.h"
#include "packaging/release_site.h"
#include "packaging/update_plan.h"

namespace {

int fail(std::string* error, const std::string& message, int rc = ERR_BAD_DATA) {
  *error = message;
  return rc;
}

// Files made by a publish that has not finished yet; removed unless kept.
struct MadeFiles {
  std::vector<std::string> paths;
  bool keep = false;
  ~MadeFiles() {
    for (const std::string& p : paths)
      if (!keep) unlink(p.c_str());
  }
};

bool scan(const std::string& root, TreeScan* tree, std::vector<std::string>* report) {
  int rc = scan_tree(root, tree);
  for (const std::string& p : tree->problems) report->push_back("refused: " + p);
  return rc == OK && tree->problems.empty();
}

// Whether `path` lies below a link of `tree`: not a path of that release at
// all, and on an installation of it a line for the path would go through the
// link, out of the installation or onto another of its files.
bool beneath_link(const std::string& path, const TreeScan& tree) {
  for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
    if (tree.links.count(path.substr(0, at)) != 0) return true;
  }
  return false;
}

// The full package's plan: every file, link and directory of NEW, each
// directory's mode last, after a remove line for each file or link that an
// earlier release had and NEW has not (or has as a directory), and a rmdir
// line, deepest first, for each directory that an earlier release had and NEW
// has not. Where releases differ in what a path was, both lines come: on an
// installation of each, one finds its kind and the other leaves it alone.
UpdatePlan full_plan(const std::string& new_root, const TreeScan& new_tree,
                     const ReleasePaths& published) {
  UpdatePlan plan;
  plan_update("", TreeScan{}, new_root, new_tree, {}, &plan, true);
  std::vector<PlannedChange> removes, rmdirs;
  for (const auto& [path, kinds] : published) {
    if (beneath_link(path, new_tree)) continue;
    bool was_dir = kinds.find('d') != std::string::npos;
    bool was_file_or_link = kinds.find_first_of("fl") != std::string::npos;
    bool is_dir = new_tree.dirs.count(path) != 0;
    bool is_file_or_link = new_tree.files.count(path) != 0 || new_tree.links.count(path) != 0;
    if (was_dir && !is_dir) rmdirs.push_back({ChangeKind::kRmdir, path, "", "", 0, ""});
    if (was_file_or_link && !is_file_or_link) removes.push_back({ChangeKind::kRemove, path, "", "", 0, ""});
  }
  // Reverse path order puts every directory after the directories in it.
  removes.insert(removes.end(), rmdirs.rbegin(), rmdirs.rend());
  plan.changes.insert(plan.changes.begin(), removes.begin(), removes.end());
  return plan;
}

// Moves the finished file `temp` to its consistent name beside it,
// "<sha256>.<name>", and lists it as the target `path` with `info`.
int list_target(Repository* repo, const std::string& temp, const std::string& path,
                ReleaseInfo info, MadeFiles* made, int64_t* size, std::string* error) {
  UniqueFd fd(open(temp.c_str(), O_RDONLY | O_CLOEXEC));
  std::string sha256;
  int detail = 0;
  struct stat st;
  if (!fd.ok() || fstat(fd.fd, &st) != 0 || sha256_hex(fd.fd, &sha256, &detail) != OK)
    return fail(error, temp + ": cannot read it back", ERR_READ);
  if (info.kind != "notes") {
    std::string secret = repo->signers["targets"].front().secret_path;
    int rc = make_release_signature(fd.fd, secret.c_str(), info.release, info.replaces,
                                    &info.signature, &detail);
    if (rc != OK) return fail(error, "cannot sign " + temp + " with " + secret, rc);
  }
  // On disk under its final name before any metadata names it: a power cut
  // must not leave a listed target that is empty.
  std::string dir = temp.substr(0, temp.rfind('/') + 1);
  std::string final_path = dir + sha256 + "." + path.substr(path.rfind('/') + 1);
  if (fdatasync(fd.fd) != 0 || rename(temp.c_str(), final_path.c_str()) != 0 || sync_dir(dir.c_str()) != OK)
    return fail(error, final_path + ": " + strerror(errno), ERR_WRITE);
  made->paths.push_back(final_path);
  TargetFile target;
  target.length = st.st_size;
  target.hashes["sha256"] = sha256;
  target.custom = release_info_json(info);
  repo->targets.targets[path] = target;
  *size = st.st_size;
  return OK;
}

// Builds one package of `plan`, with patches of a format up to
// `max_patch_version`, and lists it.
int add_package(Repository* repo, const std::string& old_root, const std::string& new_root,
                const UpdatePlan& plan, const std::string& path, const ReleaseInfo& info,
                uint32_t max_patch_version, MadeFiles* made, int64_t* size,
                std::vector<std::string>* report, std::string* error) {
  for (const std::string& w : plan.warnings) report->push_back("warning: " + w);
  for (const std::string& r : plan.refused) report->push_back("refused: " + r);
  std::string dir = repo->site + "/targets/" + path.substr(0, path.rfind('/'));
  std::string temp = dir + "/" + path.substr(path.rfind('/') + 1) + ".new";
  BuildTotals totals;
  if (make_directories(dir) != OK) return fail(error, dir + ": " + strerror(errno), ERR_WRITE);
  made->paths.push_back(temp);
  if (!plan.refused.empty()) return fail(error, "cannot build " + path);
  std::string why;
  int rc = build_package(old_root, new_root, plan, temp, nullptr, &totals, &why, max_patch_version);
  if (rc != OK) return fail(error, "cannot build " + path + ": " + why, rc);
  rc = list_target(repo, temp, path, info, made, size, error);
  if (rc != OK) return rc;
  std::string patched = std::to_string(totals.patched) + " patched";
  // A partial says which format its patches may take: its base's updater must read it.
  if (!old_root.empty())
    patched += max_patch_version == 2 ? " (" + std::to_string(totals.patched_v2) + " in format 2)"
                                      : " (format 1)";
  report->push_back(path + ": " + std::to_string(totals.added) + " added, " + patched + ", " +
                    std::to_string(totals.removed) + " removed; " + std::to_string(*size) + " bytes");
  return OK;
}

// Whether installations of release `base` have an updater that reads patch
// format 2: releases from `since` on, when the release engineer named it.
bool reads_patch_format_2(const std::string& base, const std::string& since) {
  return !since.empty() && compare_versions(base, since) >= 0;
}

// The newest release of `channel` listed, "" when none.
std::string newest_release(const Repository& repo, const std::string& channel) {
  std::string newest;
  for (const auto& [path, target] : repo.targets.targets) {
    ReleaseInfo info;
    std::string ignored;
    if (read_release_info(target.custom, &info, &ignored) == OK &&
        info.channel == channel && info.kind != "replacement" &&
        (newest.empty() || compare_versions(info.release, newest) > 0))
      newest = info.release;
  }
  return newest;
}

}  // namespace

std::vector<std::string> release_targets(const Repository& repo, const std::string& channel,
                                         const std::string& release) {
  std::vector<std::string> paths;
  std::string prefix = channel + "/" + release + "/";
  for (const auto& [path, target] : repo.targets.targets) {
    ReleaseInfo info;
    std::string ignored;
    if (path.compare(0, prefix.size(), prefix) == 0 &&
        read_release_info(target.custom, &info, &ignored) == OK && info.kind != "replacement")
      paths.push_back(path);
  }
  return paths;
}

int publish_release(Repository* repo, const PublishRequest& q, std::vector<std::string>* report,
                    std::string* error) {
  std::string newest = newest_release(*repo, q.channel);
  if (!newest.empty() && compare_versions(q.release, newest) <= 0)
    return fail(error, q.release + " is not newer than " + newest + ", the latest release of channel " + q.channel);
  if (repo->signers["targets"].empty()) return fail(error, "packages are signed with a targets key (--secret-key)");
  ReleasePaths published;
  int rc = load_published_paths(repo->site, &published, error);
  TreeScan new_tree;
  if (rc == OK && !scan(q.tree, &new_tree, report)) rc = fail(error, q.tree + ": cannot be published");
  if (rc != OK) return rc;

  MadeFiles made;
  ReleaseInfo info = q.settings;
  info.channel = q.channel;
  info.release = q.release;
  int64_t full_size = 0, size = 0;
  if (!q.notes_file.empty()) {
    info.notes_target = release_target_path(q.channel, q.release, "notes.txt");
    std::string text, dir = repo->site + "/targets/" + q.channel + "/" + q.release, temp = dir + "/notes.txt.new";
    ReleaseInfo notes = info;
    notes.kind = "notes";
    if (!read_text(q.notes_file, &text)) return fail(error, q.notes_file + ": cannot read it", ERR_READ);
    made.paths.push_back(temp);
    if (make_directories(dir) != OK ||
        write_file_atomically(temp.c_str(), text.data(), text.size(), 0644) != OK)
      return fail(error, temp + ": cannot write it", ERR_WRITE);
    rc = list_target(repo, temp, info.notes_target, notes, &made, &size, error);
    if (rc != OK) return rc;
  }
  info.kind = "full";
  // Full packages go to installations of any release: format 1 only.
  rc = add_package(repo, "", q.tree, full_plan(q.tree, new_tree, published),
                   release_target_path(q.channel, q.release, "full.zav"), info, 1, &made, &full_size,
                   report, error);
  for (size_t i = 0; rc == OK && i < q.partials.size(); i++) {
    const PartialSource& from = q.partials[i];
    TreeScan old_tree;
    UpdatePlan plan;
    if (!scan(from.tree, &old_tree, report)) return fail(error, from.tree + ": cannot be read as a release");
    plan_update(from.tree, old_tree, q.tree, new_tree, {}, &plan);
    ReleaseInfo partial = info;
    partial.kind = "partial";
    partial.base = from.version;
    std::string path = release_target_path(q.channel, q.release, "from-" + from.version + ".zav");
    rc = add_package(repo, from.tree, q.tree, plan, path, partial,
                     reads_patch_format_2(from.version, q.patch_format_2_since) ? 2 : 1, &made, &size,
                     report, error);
    // Hardly smaller than the full package: not worth a second download path.
    if (rc == OK && size > full_size / 8 * 7) {
      unlink(made.paths.back().c_str());
      repo->targets.targets.erase(path);
      report->push_back(path + ": not published, more than 7/8 of the full package");
    }
  }
  if (rc == OK && write_release_paths(repo->site, q.channel, q.release, tree_paths(new_tree)) != OK)
    rc = fail(error, "cannot record the paths of " + q.release + ": " + strerror(errno), ERR_WRITE);
  if (rc == OK) rc = publish_metadata(repo, true, error);
  made.keep = rc == OK;
  return rc;
}

int add_replacement(Repository* repo, const std::string& channel, const std::string& withdrawn,
                    const std::string& replacement, const std::string& tree,
                    std::vector<std::string>* report, std::string* error) {
  if (repo->signers["targets"].empty()) return fail(error, "packages are signed with a targets key (--secret-key)");
  ReleasePaths published;
  TreeScan scanned;
  int rc = load_published_paths(repo->site, &published, error);
  if (rc == OK && !scan(tree, &scanned, report)) rc = fail(error, tree + ": cannot be read as a release");
  if (rc != OK) return rc;
  MadeFiles made;
  ReleaseInfo info;
  info.channel = channel;
  info.release = replacement;
  info.kind = "replacement";
  info.replaces = withdrawn;
  int64_t size = 0;
  rc = add_package(repo, "", tree, full_plan(tree, scanned, published),
                   release_target_path(channel, withdrawn, "to-" + replacement + ".zav"), info, 1,
                   &made, &size, report, error);
  made.keep = rc == OK;
  return rc;
}
