// The repository's metadata files, signed with the keys make-release is given.
#include "packaging/tuf_repository.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/signature.h"
#include "base/durable_file.h"
#include "base/status.h"
#include "feed/digest.h"
#include "feed/tuf_writer.h"
#include "packaging/release_site.h"

namespace {

const char* const kRoles[] = {"root", "targets", "snapshot", "timestamp"};

int fail(std::string* error, const std::string& message, int rc = ERR_BAD_DATA) {
  *error = message;
  return rc;
}

std::string metadata_dir(const std::string& site) { return site + "/metadata"; }

// Reads and parses one metadata file of the site.
template <typename Role, typename Parse>
int read_role(const std::string& path, Parse parse, Role* role, std::string* bytes,
              std::string* error) {
  Envelope envelope;
  if (!read_text(path, bytes)) return fail(error, path + ": cannot read it: " + strerror(errno), ERR_READ);
  if (parse_envelope(*bytes, &envelope, error) != OK || parse(envelope, role, error) != OK)
    return fail(error, path + ": " + *error);
  return OK;
}

int write_metadata(const Repository& repo, const std::string& name, const nlohmann::json& signed_part,
                   const std::vector<TufSigner>& signers, std::string* bytes, std::string* error) {
  int rc = sign_metadata(signed_part, signers, bytes, error);
  if (rc != OK) return rc;
  std::string path = metadata_dir(repo.site) + "/" + name;
  if (write_file_atomically(path.c_str(), bytes->data(), bytes->size(), 0644) != OK)
    return fail(error, path + ": cannot write it: " + strerror(errno), ERR_WRITE);
  return OK;
}

// The signers of `role`, at least its threshold of them.
int role_signers(const Repository& repo, const std::string& role, std::vector<TufSigner>* out,
                 std::string* error) {
  auto it = repo.signers.find(role);
  *out = it == repo.signers.end() ? std::vector<TufSigner>{} : it->second;
  int64_t threshold = repo.root.roles.at(role).threshold;
  if (static_cast<int64_t>(out->size()) < threshold)
    return fail(error, "signing " + role + " needs " + std::to_string(threshold) + " of its keys (--secret-key); " +
                           std::to_string(out->size()) + " given");
  return OK;
}

MetaFile listed(int64_t version, const std::string& bytes) {
  MetaFile m;
  m.version = version;
  m.length = static_cast<int64_t>(bytes.size());
  m.hashes["sha256"] = hex_digest("sha256", bytes);
  return m;
}

int64_t expiry(const Repository& repo, const std::string& role) {
  return repo.now + repo.expires_days.at(role) * 86400;
}

// `count` new keys for `role` in `dir`, numbered after those already there.
int make_keys(const std::string& dir, const std::string& role, int64_t count,
              std::vector<TufSigner>* made, std::vector<std::string>* report, std::string* error) {
  for (int n = 1; static_cast<int64_t>(made->size()) < count; n++) {
    std::string base = dir + "/" + role + "-" + std::to_string(n);
    // A number is never used twice, even after its secret key was deleted.
    if (access((base + ".secret").c_str(), F_OK) == 0 || access((base + ".pub").c_str(), F_OK) == 0) continue;
    int detail = 0;
    if (generate_key_pair((base + ".secret").c_str(), (base + ".pub").c_str(), &detail) != OK)
      return fail(error, base + ".secret: cannot write it: " + strerror(detail), ERR_WRITE);
    TufSigner signer;
    int rc = load_tuf_signer(base + ".secret", &signer, error);
    if (rc != OK) return rc;
    made->push_back(signer);
    report->push_back("made " + base + ".secret (" + role + " key " + signer.keyid.substr(0, 16) + ")");
  }
  return OK;
}

void set_role_keys(RootRole* root, const std::string& role, const std::vector<TufSigner>& keys,
                   int64_t threshold) {
  RoleKeys& r = root->roles[role];
  r.keyids.clear();
  for (const TufSigner& s : keys) {
    TufKey key;
    parse_tuf_key(ed25519_key_object(s.public_key), &key);
    root->keys[s.keyid] = key;
    r.keyids.push_back(s.keyid);
  }
  r.threshold = threshold;
  // Keys that no role lists any more go from the table.
  for (auto it = root->keys.begin(); it != root->keys.end();) {
    bool used = false;
    for (const auto& [name, rk] : root->roles)
      for (const std::string& id : rk.keyids) used |= id == it->first;
    it = used ? std::next(it) : root->keys.erase(it);
  }
}

// updater.pub: the targets keys, with which packages are signed too.
int write_updater_keys(const std::string& keys_dir, const RootRole& root,
                       const std::vector<std::string>& keep, std::vector<std::string>* report,
                       std::string* error) {
  std::string text = "# targets keys of the release site, oldest first: ship beside the updater\n";
  for (const std::string& line : keep) text += line;
  for (const std::string& id : root.roles.at("targets").keyids)
    text += root.keys.at(id).public_value + "\n";
  std::string path = keys_dir + "/updater.pub";
  if (write_file_atomically(path.c_str(), text.data(), text.size(), 0644) != OK)
    return fail(error, path + ": cannot write it: " + strerror(errno), ERR_WRITE);
  report->push_back("wrote " + path + " (ship it beside the updater as updater.pub)");
  return OK;
}

int write_root(Repository* repo, const std::vector<TufSigner>& signers, std::string* error) {
  std::string bytes;
  return write_metadata(*repo, std::to_string(repo->root.common.version) + ".root.json",
                        root_json(repo->root), signers, &bytes, error);
}

}  // namespace

std::map<std::string, int64_t> default_expiry_days() {
  return {{"root", 365}, {"targets", 365}, {"snapshot", 365}, {"timestamp", 2}};
}

int load_repository(const std::string& site, Repository* repo, std::string* error) {
  repo->site = site;
  std::string dir = metadata_dir(site), bytes;
  int64_t version = 1;
  while (access((dir + "/" + std::to_string(version + 1) + ".root.json").c_str(), F_OK) == 0) version++;
  int rc = read_role(dir + "/" + std::to_string(version) + ".root.json", parse_root, &repo->root, &bytes, error);
  if (rc == ERR_READ) *error += " (make the site with make-release init)";
  if (rc == OK) rc = read_role(dir + "/timestamp.json", parse_timestamp, &repo->timestamp, &bytes, error);
  if (rc == OK)
    rc = read_role(dir + "/" + std::to_string(repo->timestamp.snapshot.version) + ".snapshot.json",
                   parse_snapshot, &repo->snapshot, &bytes, error);
  if (rc == OK && repo->snapshot.meta.count("targets.json") == 0)
    rc = fail(error, "the snapshot lists no targets.json");
  if (rc == OK)
    rc = read_role(dir + "/" + std::to_string(repo->snapshot.meta["targets.json"].version) + ".targets.json",
                   parse_targets, &repo->targets, &bytes, error);
  return rc;
}

int add_signers(Repository* repo, const std::vector<std::string>& key_files, std::string* error) {
  for (const std::string& file : key_files) {
    TufSigner signer;
    int rc = load_tuf_signer(file, &signer, error);
    if (rc != OK) return rc;
    bool used = false;
    for (const auto& [role, keys] : repo->root.roles) {
      for (const std::string& id : keys.keyids) {
        if (id != signer.keyid) continue;
        used = true;
        repo->signers[role].push_back(signer);
      }
    }
    if (!used) return fail(error, file + ": a key of no role of the site's root");
  }
  return OK;
}

int publish_metadata(Repository* repo, bool targets_changed, std::string* error) {
  std::vector<TufSigner> targets_signers, snapshot_signers, timestamp_signers;
  int rc = OK;
  if (targets_changed) rc = role_signers(*repo, "targets", &targets_signers, error);
  if (rc == OK) rc = role_signers(*repo, "snapshot", &snapshot_signers, error);
  if (rc == OK) rc = role_signers(*repo, "timestamp", &timestamp_signers, error);
  if (rc != OK) return rc;
  std::string bytes;
  if (targets_changed) {
    repo->targets.common.version++;
    repo->targets.common.expires = expiry(*repo, "targets");
    rc = write_metadata(*repo, std::to_string(repo->targets.common.version) + ".targets.json",
                        targets_json(repo->targets), targets_signers, &bytes, error);
    if (rc != OK) return rc;
    repo->snapshot.meta["targets.json"] = listed(repo->targets.common.version, bytes);
  }
  repo->snapshot.common.version++;
  repo->snapshot.common.expires = expiry(*repo, "snapshot");
  rc = write_metadata(*repo, std::to_string(repo->snapshot.common.version) + ".snapshot.json",
                      snapshot_json(repo->snapshot), snapshot_signers, &bytes, error);
  if (rc != OK) return rc;
  repo->timestamp.snapshot = listed(repo->snapshot.common.version, bytes);
  repo->timestamp.common.version++;
  repo->timestamp.common.expires = expiry(*repo, "timestamp");
  return write_metadata(*repo, "timestamp.json", timestamp_json(repo->timestamp), timestamp_signers,
                        &bytes, error);
}

int resign_timestamp(Repository* repo, std::string* error) {
  std::vector<TufSigner> signers;
  int rc = role_signers(*repo, "timestamp", &signers, error);
  if (rc != OK) return rc;
  std::string bytes;
  repo->timestamp.common.version++;
  repo->timestamp.common.expires = expiry(*repo, "timestamp");
  return write_metadata(*repo, "timestamp.json", timestamp_json(repo->timestamp), signers, &bytes, error);
}

int init_repository(const std::string& site, const std::string& keys_dir,
                    const std::map<std::string, int64_t>& thresholds,
                    const std::map<std::string, int64_t>& expires_days, int64_t now,
                    std::vector<std::string>* report, std::string* error) {
  if (access((metadata_dir(site) + "/1.root.json").c_str(), F_OK) == 0)
    return fail(error, site + " holds a repository already");
  if (make_directories(metadata_dir(site)) != OK || make_directories(keys_dir) != OK ||
      chmod(keys_dir.c_str(), 0700) != 0)
    return fail(error, "cannot make " + site + "/metadata or " + keys_dir + ": " + strerror(errno), ERR_WRITE);
  Repository repo;
  repo.site = site;
  repo.now = now;
  repo.expires_days = expires_days;
  for (const char* role : kRoles) {
    std::vector<TufSigner> made;
    int64_t threshold = thresholds.count(role) ? thresholds.at(role) : 1;
    int rc = make_keys(keys_dir, role, threshold, &made, report, error);
    if (rc != OK) return rc;
    set_role_keys(&repo.root, role, made, threshold);
    repo.signers[role] = made;
  }
  repo.root.common = {"root", 1, expiry(repo, "root")};
  repo.root.consistent_snapshot = true;
  repo.targets.common = {"targets", 0, 0};
  repo.snapshot.common = {"snapshot", 0, 0};
  repo.timestamp.common = {"timestamp", 0, 0};
  int rc = write_root(&repo, repo.signers["root"], error);
  if (rc == OK) rc = publish_metadata(&repo, true, error);
  if (rc == OK) rc = write_updater_keys(keys_dir, repo.root, {}, report, error);
  if (rc != OK) return rc;
  report->push_back("wrote " + metadata_dir(site) + "/1.root.json (ship it with the application as its trusted root)");
  return OK;
}

int rotate_role(Repository* repo, const std::string& role, const std::string& keys_dir,
                int64_t threshold, std::vector<std::string>* report, std::string* error) {
  if (repo->root.roles.count(role) == 0) return fail(error, "no role " + role);
  std::vector<TufSigner> old_root_signers;
  int rc = role_signers(*repo, "root", &old_root_signers, error);
  if (rc != OK) return rc;
  if (threshold <= 0) threshold = repo->root.roles.at(role).threshold;
  std::vector<std::string> old_targets_keys;
  for (const std::string& id : repo->root.roles.at("targets").keyids)
    old_targets_keys.push_back(repo->root.keys.at(id).public_value + "\n");
  if (make_directories(keys_dir) != OK)
    return fail(error, keys_dir + ": cannot make it: " + strerror(errno), ERR_WRITE);
  std::vector<TufSigner> made;
  rc = make_keys(keys_dir, role, threshold, &made, report, error);
  if (rc != OK) return rc;
  set_role_keys(&repo->root, role, made, threshold);
  repo->root.common.version++;
  repo->root.common.expires = expiry(*repo, "root");
  // The old root vouches for the new one; a new root key set vouches for itself too.
  std::vector<TufSigner> signers = old_root_signers;
  if (role == "root") signers.insert(signers.end(), made.begin(), made.end());
  repo->signers[role] = made;
  rc = write_root(repo, signers, error);
  if (rc != OK) return rc;
  report->push_back("wrote " + metadata_dir(repo->site) + "/" + std::to_string(repo->root.common.version) +
                    ".root.json");
  if (role == "targets") {
    rc = write_updater_keys(keys_dir, repo->root, old_targets_keys, report, error);
    if (rc != OK) return rc;
  }
  // What the role signs is signed anew with its new keys, so that clients
  // that follow the new root find valid metadata at once.
  return role == "root" ? OK : publish_metadata(repo, role == "targets", error);
}
