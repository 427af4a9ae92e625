// make-release: keeps a release site, a TUF repository of signed packages:
// makes it with its keys, publishes releases, re-signs the timestamp,
// rotates keys, and steers a published release's rollout.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "archive/release_version.h"
#include "base/command_line.h"
#include "base/printable.h"
#include "base/fd.h"
#include "base/status.h"
#include "base/version.h"
#include "packaging/release_publish.h"
#include "packaging/release_site.h"
#include "packaging/release_steering.h"
#include "packaging/tree_scan.h"
#include "packaging/tuf_repository.h"

namespace {

const char kUsage[] =
    "usage: make-release init      --out SITE --keys DIR [--threshold ROLE=N]... [--expires ROLE=DAYS]...\n"
    "       make-release publish   --out SITE --release V --tree DIR [--from OLD_V=OLD_TREE]...\n"
    "                              [--patch-format-2-since OLD_V] [--channel NAME] [ROLLOUT]\n"
    "                              [--critical] [--notes TEXT] [--notes-file FILE]\n"
    "                              --secret-key FILE... [--expires ROLE=DAYS]...\n"
    "       make-release timestamp --out SITE --secret-key FILE... [--expires timestamp=DAYS]\n"
    "       make-release rotate    --out SITE --role ROLE --keys DIR [--threshold ROLE=N]\n"
    "                              --secret-key FILE...\n"
    "       make-release rollout   --out SITE --release V [--channel NAME] ROLLOUT --secret-key FILE...\n"
    "       make-release halt|resume --out SITE --release V [--channel NAME] --secret-key FILE...\n"
    "       make-release withdraw  --out SITE --release V [--channel NAME]\n"
    "                              [--replacement OLD_V --tree OLD_TREE] --secret-key FILE...\n"
    "ROLLOUT: --steps P,P,... --interval DURATION [--start UNIX_TIME] | --percent P\n"
    "         (DURATION: a number with s, m, h or d; percentages of installations)\n"
    "Roles: root, targets, snapshot, timestamp. Each --secret-key is matched to the roles\n"
    "that list it; packages are signed with the first targets key.\n"
    "Exit status: 0 done, 1 failed (the site is as it was), 2 wrong call.\n";

struct Options {
  std::string command, site, release, tree, channel = "stable", keys_dir, role, notes, notes_file;
  std::string replacement, patch_format_2_since;
  std::vector<PartialSource> from;
  std::vector<std::string> secret_keys;
  std::map<std::string, int64_t> thresholds, expires = default_expiry_days();
  Rollout rollout;
  bool has_rollout = false, critical = false;
};

int wrong_call(const std::string& message) {
  if (!message.empty()) fprintf(stderr, "make-release: %s\n", message.c_str());
  return usage_error(kUsage);
}

bool is_role(const std::string& r) {
  return r == "root" || r == "targets" || r == "snapshot" || r == "timestamp";
}

// "ROLE=N" with N a positive number.
bool role_number(const std::string& value, std::map<std::string, int64_t>* out) {
  size_t eq = value.find('=');
  if (eq == std::string::npos || !is_role(value.substr(0, eq))) return false;
  char* end = nullptr;
  long long n = strtoll(value.c_str() + eq + 1, &end, 10);
  if (*end != '\0' || n <= 0 || n > 100000) return false;
  (*out)[value.substr(0, eq)] = n;
  return true;
}

bool duration(const std::string& text, int64_t* seconds) {
  char* end = nullptr;
  long long n = strtoll(text.c_str(), &end, 10);
  static const std::map<std::string, int64_t> units = {{"", 1}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
  auto unit = units.find(end);
  if (end == text.c_str() || n <= 0 || unit == units.end()) return false;
  *seconds = n * unit->second;
  return true;
}

bool percentages(const std::string& text, std::vector<double>* steps) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    char* end = nullptr;
    long n = strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || n < 0 || n > 100 || (!steps->empty() && n < steps->back())) return false;
    steps->push_back(static_cast<double>(n));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !steps->empty();
}

// One option and its value; false for an unknown one.
bool take(Options* o, const std::string& name, const std::string& value) {
  if (name == "--out") o->site = value;
  else if (name == "--release") o->release = value;
  else if (name == "--tree") o->tree = value;
  else if (name == "--channel") o->channel = value;
  else if (name == "--keys") o->keys_dir = value;
  else if (name == "--role") o->role = value;
  else if (name == "--notes") o->notes = value;
  else if (name == "--notes-file") o->notes_file = value;
  else if (name == "--replacement") o->replacement = value;
  else if (name == "--patch-format-2-since" && valid_version(value)) o->patch_format_2_since = value;
  else if (name == "--secret-key") o->secret_keys.push_back(value);
  else if (name == "--threshold") return role_number(value, &o->thresholds);
  else if (name == "--expires") return role_number(value, &o->expires);
  else if (name == "--from" && value.find('=') != std::string::npos)
    o->from.push_back({value.substr(0, value.find('=')), value.substr(value.find('=') + 1)});
  else if (name == "--steps") return o->has_rollout = o->rollout.scheduled = percentages(value, &o->rollout.steps);
  else if (name == "--interval") return duration(value, &o->rollout.interval);
  else if (name == "--start") return duration(value, &o->rollout.start);
  else if (name == "--percent") {
    std::vector<double> p;
    if (!percentages(value, &p) || p.size() != 1) return false;
    o->rollout.percent = p[0];
    return o->has_rollout = o->rollout.scheduled = true;
  } else return false;
  return true;
}

// Returns 0 when the options make a call, else the exit code after printing why not.
int parse_options(int argc, char** argv, Options* o) {
  int i = 1;
  if (argc > 1 && argv[1][0] != '-') o->command = argv[i++];
  for (; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--critical") {
      o->critical = true;
      continue;
    }
    if (i + 1 >= argc) return wrong_call(arg + " needs a value");
    std::string value = argv[++i];
    // The spellings of the one-key feed, for one more release.
    if (arg == "--key" || arg == "--version") {
      deprecated_option("make-release", arg.c_str(), arg == "--key" ? "--secret-key" : "--release");
      arg = arg == "--key" ? "--secret-key" : "--release";
    }
    if (!take(o, arg, value)) return wrong_call(arg + " " + value + ": not an option here, or a bad value");
  }
  if (o->command.empty()) o->command = "publish";
  static const char* const kCommands[] = {"init", "publish", "timestamp", "rotate", "rollout", "halt", "resume", "withdraw"};
  bool known = false;
  for (const char* c : kCommands) known |= o->command == c;
  if (!known) return wrong_call("no command " + o->command);
  bool needs_release = o->command != "init" && o->command != "timestamp" && o->command != "rotate";
  if (o->site.empty()) return wrong_call("--out SITE is needed");
  if (needs_release && !valid_version(o->release))
    return wrong_call("--release " + o->release + ": a release is dotted numbers, as 1.10.0");
  if (!valid_channel(o->channel)) return wrong_call("--channel " + o->channel + ": letters, digits, '.', '_' and '-' only");
  if ((o->command == "init" || o->command == "rotate") && o->keys_dir.empty()) return wrong_call("--keys DIR is needed");
  if (o->command == "rotate" && !is_role(o->role)) return wrong_call("--role is one of root, targets, snapshot, timestamp");
  if (o->command == "publish" && o->tree.empty()) return wrong_call("--tree DIR is needed");
  // Packages written into a release tree would be part of its next release.
  std::vector<std::string> trees = {o->tree};
  for (const PartialSource& from : o->from) trees.push_back(from.tree);
  for (const std::string& tree : trees) {
    if (!tree.empty() && lies_inside(o->site, tree))
      return wrong_call("--out " + o->site + ": must not lie inside " + tree);
  }
  if (o->command == "rollout" && !o->has_rollout) return wrong_call("rollout needs --steps or --percent");
  if (o->has_rollout && !o->rollout.steps.empty() && o->rollout.interval <= 0)
    return wrong_call("--steps needs --interval");
  if (o->command == "withdraw" && !o->replacement.empty() &&
      (!valid_version(o->replacement) || o->tree.empty()))
    return wrong_call("--replacement needs a release and its --tree");
  for (size_t k = 0; k < o->from.size(); k++) {
    const std::string& v = o->from[k].version;
    bool repeated = false;
    for (size_t j = 0; j < k; j++) repeated |= compare_versions(o->from[j].version, v) == 0;
    if (!valid_version(v) || compare_versions(v, o->release) >= 0 || repeated)
      return wrong_call("--from " + v + ": must be an older release than " + o->release + ", given once");
  }
  if (o->command != "init" && o->secret_keys.empty()) return wrong_call("--secret-key FILE is needed");
  return 0;
}

int run(const Options& o) {
  int64_t now = static_cast<int64_t>(time(nullptr));
  std::vector<std::string> report;
  std::string error;
  UniqueFd lock;
  int rc = lock_site(o.site, &lock, &error);
  Repository repo;
  if (rc == OK && o.command == "init") {
    rc = init_repository(o.site, o.keys_dir, o.thresholds, o.expires, now, &report, &error);
  } else if (rc == OK) {
    rc = load_repository(o.site, &repo, &error);
    repo.now = now;
    repo.expires_days = o.expires;
    if (rc == OK) rc = add_signers(&repo, o.secret_keys, &error);
  }
  if (rc == OK && o.command == "publish") {
    PublishRequest q;
    q.channel = o.channel;
    q.release = o.release;
    q.tree = o.tree;
    q.partials = o.from;
    q.patch_format_2_since = o.patch_format_2_since;
    q.settings.rollout = o.rollout;
    if (o.rollout.scheduled && o.rollout.start == 0) q.settings.rollout.start = now;
    q.settings.critical = o.critical;
    q.settings.notes = o.notes;
    q.notes_file = o.notes_file;
    rc = publish_release(&repo, q, &report, &error);
    if (rc == OK) report.push_back("published " + o.channel + " " + o.release + " (targets version " +
                                   std::to_string(repo.targets.common.version) + ")");
  } else if (rc == OK && o.command == "timestamp") {
    rc = resign_timestamp(&repo, &error);
    if (rc == OK) report.push_back("timestamp version " + std::to_string(repo.timestamp.common.version) +
                                   ", expires " + format_tuf_time(repo.timestamp.common.expires));
  } else if (rc == OK && o.command == "rotate") {
    int64_t threshold = o.thresholds.count(o.role) ? o.thresholds.at(o.role) : 0;
    rc = rotate_role(&repo, o.role, o.keys_dir, threshold, &report, &error);
  } else if (rc == OK && o.command != "init") {
    SteeringRequest q;
    q.action = o.command == "rollout" ? Steering::kRollout
               : o.command == "halt"  ? Steering::kHalt
               : o.command == "resume" ? Steering::kResume
                                       : Steering::kWithdraw;
    q.channel = o.channel;
    q.release = o.release;
    q.rollout = o.rollout;
    if (o.rollout.scheduled && o.rollout.start == 0) q.rollout.start = now;
    q.replacement = o.replacement;
    q.replacement_tree = o.tree;
    rc = steer_release(&repo, q, &report, &error);
    if (rc == OK) rc = publish_metadata(&repo, true, &error);
  }
  // Names from the release trees, printed so that none can steer the terminal.
  for (const std::string& line : report) printf("%s\n", printable(line).c_str());
  if (rc != OK) {
    fprintf(stderr, "make-release: %s\nmake-release: nothing published\n", printable(error).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && standard_option(argc, argv, "make-release", kUsage, "")) return 0;
  Options options;
  int rc = parse_options(argc, argv, &options);
  return rc != 0 ? rc : run(options);
}
