// make-release: publishes one release into a release site: its full package,
// a partial package from each given earlier release, all signed, and the
// channel's signed feed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "feed/feed.h"
#include "archive/signature.h"
#include "base/status.h"
#include "packaging/release_site.h"
#include "packaging/package_build.h"
#include "packaging/update_plan.h"

namespace {

const char kUsage[] =
    "usage: make-release --out SITE --version V --tree NEW_TREE [--from OLD_V=OLD_TREE]...\n"
    "                    --key SECRET [--channel NAME]\n";

struct Options {
  std::string site, version, tree, key, channel = "stable";
  std::vector<std::pair<std::string, std::string>> from;  // version, tree
};

int fail(const std::string& message) {
  fprintf(stderr, "make-release: %s\n", message.c_str());
  return 1;
}

void print_list(const char* heading, const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    fprintf(stderr, "make-release: %s: %s\n", heading, line.c_str());
}

// Returns 0 when the options are complete, 2 after printing why not.
int parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help") {
      fputs(kUsage, stdout);
      exit(0);
    }
    if (i + 1 >= argc) break;
    std::string value = argv[++i];
    if (arg == "--out")
      o->site = value;
    else if (arg == "--version")
      o->version = value;
    else if (arg == "--tree")
      o->tree = value;
    else if (arg == "--key")
      o->key = value;
    else if (arg == "--channel")
      o->channel = value;
    else if (arg == "--from" && value.find('=') != std::string::npos)
      o->from.emplace_back(value.substr(0, value.find('=')), value.substr(value.find('=') + 1));
    else {
      fputs(kUsage, stderr);
      return 2;
    }
  }
  if (argc % 2 == 0 || o->site.empty() || o->version.empty() || o->tree.empty() || o->key.empty()) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (!valid_version(o->version)) {
    fprintf(stderr, "make-release: --version %s: a version is dotted numbers, as 1.10.0\n",
            o->version.c_str());
    return 2;
  }
  if (!valid_channel(o->channel)) {
    fprintf(stderr, "make-release: --channel %s: letters, digits, '.', '_' and '-' only\n",
            o->channel.c_str());
    return 2;
  }
  for (size_t i = 0; i < o->from.size(); i++) {
    const std::string& v = o->from[i].first;
    bool repeated = false;
    for (size_t k = 0; k < i; k++) repeated |= compare_versions(o->from[k].first, v) == 0;
    if (!valid_version(v) || compare_versions(v, o->version) >= 0 || repeated) {
      fprintf(stderr, "make-release: --from %s: must be an older version than %s, given once\n",
              v.c_str(), o->version.c_str());
      return 2;
    }
  }
  // Fail before the long part of the work, not after it.
  if (access(o->key.c_str(), R_OK) != 0) {
    fprintf(stderr, "make-release: --key %s: %s\n", o->key.c_str(), strerror(errno));
    return 2;
  }
  return 0;
}

bool scan_or_report(const std::string& root, TreeScan* scan) {
  int rc = scan_tree(root, scan);
  print_list("refused", scan->problems);
  return rc == OK && scan->problems.empty();
}

// Builds, signs and describes one package; false after printing why not.
bool write_package(const std::string& old_root, const std::string& new_root, const UpdatePlan& plan,
                   const std::string& file, const std::string& key, FeedPackage* listed) {
  print_list("warning", plan.warnings);
  print_list("refused", plan.refused);
  BuildTotals totals;
  if (!plan.refused.empty() ||
      build_package(old_root, new_root, plan, file, nullptr, &totals) != OK)
    return false;
  int detail = 0;
  int rc = sign_package_file(file.c_str(), key.c_str(), &detail, nullptr);
  if (rc != OK) {
    fail("cannot sign " + file + " with " + key + ": " +
         (rc == ERR_BAD_DATA ? "not a secret key file" : strerror(detail)));
    return false;
  }
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  rc = fd >= 0 ? sha256_hex(fd, &listed->sha256, &detail) : ERR_READ;
  if (fd >= 0) close(fd);
  if (rc != OK) {
    fail(file + ": cannot read it back");
    return false;
  }
  listed->size = totals.package_size;
  printf("%s: %d added, %d patched, %d removed; %lld bytes\n", file.c_str(), totals.added,
         totals.patched, totals.removed, static_cast<long long>(totals.package_size));
  return true;
}

// The full package's plan: every file, link and directory of NEW, after a
// remove line for each file or link that an earlier release had and NEW has
// not (or has as a directory), and a rmdir line, deepest first, for each
// directory that an earlier release had and NEW has not. A path that some
// release had as a directory gets no remove line: on an installation of that
// release the remove would meet a directory.
UpdatePlan full_plan(const std::string& new_root, const TreeScan& new_tree,
                     const ReleasePaths& published) {
  UpdatePlan plan;
  plan_update("", TreeScan{}, new_root, new_tree, {}, &plan);
  std::vector<PlannedChange> removes;
  std::vector<PlannedChange> rmdirs;
  for (const auto& [path, kinds] : published) {
    bool was_dir = kinds.find('d') != std::string::npos;
    bool is_dir = new_tree.dirs.count(path) != 0;
    bool is_file_or_link = new_tree.files.count(path) != 0 || new_tree.links.count(path) != 0;
    if (was_dir && !is_dir) rmdirs.push_back({ChangeKind::kRmdir, path, "", "", 0, ""});
    if (!was_dir && !is_file_or_link) removes.push_back({ChangeKind::kRemove, path, "", "", 0, ""});
  }
  // Reverse path order puts every directory after the directories in it.
  removes.insert(removes.end(), rmdirs.rbegin(), rmdirs.rend());
  plan.changes.insert(plan.changes.begin(), removes.begin(), removes.end());
  return plan;
}

int publish(const Options& o) {
  std::string feed_path = o.site + "/" + o.channel + ".json";
  Feed feed;
  std::string error;
  if (make_directories(o.site) != OK)
    return fail(o.site + ": cannot create it: " + strerror(errno));
  if (load_site_feed(feed_path, &feed, &error) != OK) return fail(error);
  if (!feed.releases.empty() && feed.channel != o.channel)
    return fail(feed_path + ": the feed of channel " + feed.channel);
  if (!feed.releases.empty() && compare_versions(o.version, feed.releases[0].version) <= 0)
    return fail(o.version + " is not newer than " + feed.releases[0].version +
                ", the latest release of channel " + o.channel);
  ReleasePaths published;
  if (load_published_paths(o.site, &published, &error) != OK) return fail(error);

  TreeScan new_tree;
  if (!scan_or_report(o.tree, &new_tree)) return fail("nothing published");
  std::string rel_dir = o.channel + "/" + o.version;
  std::string dir = o.site + "/" + rel_dir;
  if (make_directories(o.site + "/" + o.channel) != OK || mkdir(dir.c_str(), 0755) != 0)
    return fail(dir + ": cannot create it: " + strerror(errno) +
                (errno == EEXIST ? " (left by a failed run? remove it)" : ""));

  FeedRelease release;
  release.version = o.version;
  release.full.url = rel_dir + "/full.zav";
  bool ok = write_package("", o.tree, full_plan(o.tree, new_tree, published), dir + "/full.zav",
                          o.key, &release.full);
  for (size_t i = 0; ok && i < o.from.size(); i++) {
    const auto& [old_version, old_root] = o.from[i];
    TreeScan old_tree;
    UpdatePlan plan;
    ok = scan_or_report(old_root, &old_tree);
    if (ok) plan_update(old_root, old_tree, o.tree, new_tree, {}, &plan);
    FeedPackage partial;
    partial.from = old_version;
    partial.url = rel_dir + "/from-" + old_version + ".zav";
    ok = ok && write_package(old_root, o.tree, plan, o.site + "/" + partial.url, o.key, &partial);
    release.partials.push_back(partial);
  }
  if (ok && write_release_paths(dir + "/paths", tree_paths(new_tree)) != OK)
    ok = !fail(dir + "/paths: cannot write it: " + strerror(errno));
  if (ok) {
    // Strictly growing, even for two releases within one second, so that a
    // client can tell the newer feed from the older one.
    int64_t now = static_cast<int64_t>(time(nullptr));
    feed.channel = o.channel;
    feed.created = now > feed.created ? now : feed.created + 1;
    feed.releases.insert(feed.releases.begin(), release);
    if (publish_feed(feed_path, feed, o.key, &error) != OK) ok = !fail(error);
  }
  if (!ok) {
    remove_tree(dir);
    return fail("nothing published");
  }
  printf("%s: channel %s, %zu releases, newest %s\n", feed_path.c_str(), o.channel.c_str(),
         feed.releases.size(), o.version.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int rc = parse_options(argc, argv, &options);
  if (rc != 0) return rc;
  return publish(options);
}
