// Targets: the search through delegated roles, and the checks of a target
// file against the metadata that lists it.
#include <sys/stat.h>

#include <set>

#include "base/status.h"
#include "client/http_get.h"
#include "client/metadata_store.h"
#include "client/tuf_client.h"
#include "feed/digest.h"

namespace {

constexpr int64_t kMaxDelegatedSize = 16 << 20;
// Roles one search may load: a hostile delegation graph cannot make a
// client fetch without end.
constexpr size_t kMaxRolesVisited = 32;

ClientResult refused(const std::string& message) {
  return client_failure(UPDATE_CLIENT_ERR_REFUSED, message);
}

bool top_level_name(const std::string& name) {
  return name == "root" || name == "timestamp" || name == "snapshot" || name == "targets";
}

// The delegated role `d`, signed by its keys as `delegator` lists them: the
// trusted file when it is the version the snapshot lists, else downloaded.
ClientResult load_delegated(TufClient* c, const TargetsRole& delegator, const DelegatedRole& d,
                            TargetsRole* out) {
  // A delegated role named like a top-level one would overwrite its file.
  if (top_level_name(d.name)) return refused("a delegated role named " + d.name);
  auto listed = c->snapshot.meta.find(d.name + ".json");
  if (listed == c->snapshot.meta.end()) return refused("snapshot.json does not list role " + d.name);
  const MetaFile& meta = listed->second;
  std::string file = percent_encode(d.name, false) + ".json", bytes, error;
  Envelope envelope;
  auto verify = [&](const std::string& b) {
    if (parse_envelope(b, &envelope, &error) != OK || parse_targets(envelope, out, &error) != OK)
      return refused("role " + d.name + ": " + error);
    if (!signed_by_threshold(envelope, delegator.delegation_keys, d.keys))
      return refused("role " + d.name + ": not signed by a threshold of its delegated keys");
    return ClientResult{};
  };
  if (read_trusted_file(c->metadata_dir, file, kMaxDelegatedSize, &bytes) && verify(bytes).ok() &&
      out->common.version == meta.version) {
    if (out->common.expires <= c->now) return refused("role " + d.name + " has expired");
    return {};
  }
  std::string name = c->root.consistent_snapshot ? std::to_string(meta.version) + "." + file : file;
  HttpOptions options;
  options.deadline_seconds = c->deadline_seconds;
  HttpResult r;
  int rc = http_get_bytes(join_url(c->metadata_url, name),
                          meta.length >= 0 ? meta.length : kMaxDelegatedSize, options, &bytes, &r);
  if (rc != OK)
    return client_failure(rc == ERR_READ ? UPDATE_CLIENT_ERR_NETWORK : UPDATE_CLIENT_ERR_REFUSED, r.error);
  if (meta.length >= 0 && static_cast<int64_t>(bytes.size()) != meta.length)
    return refused(name + ": not the length listed");
  for (const auto& [algorithm, value] : meta.hashes)
    if (hex_digest(algorithm, bytes) != value) return refused(name + ": not the " + algorithm + " listed");
  ClientResult v = verify(bytes);
  if (!v.ok()) return v;
  if (out->common.version != meta.version)
    return refused(name + ": holds version " + std::to_string(out->common.version));
  if (out->common.expires <= c->now) return refused("role " + d.name + " has expired");
  return write_trusted_file(c->metadata_dir, file, bytes);
}

struct Search {
  TufClient* client;
  const std::string& path;
  std::set<std::string> visited;
  bool stop = false;  // a terminating delegation ended the search
  bool found = false;
  TargetFile target;
};

// Pre-order, depth first, delegations in their order of priority.
ClientResult search(Search* s, const TargetsRole& role) {
  auto it = role.targets.find(s->path);
  if (it != role.targets.end()) {
    s->found = true;
    s->target = it->second;
    return {};
  }
  for (const DelegatedRole& d : role.delegations) {
    if (!delegation_covers(d, s->path) || s->visited.count(d.name) != 0) continue;
    if (s->visited.size() >= kMaxRolesVisited) {
      s->stop = true;
      return {};
    }
    s->visited.insert(d.name);
    TargetsRole child;
    ClientResult r = load_delegated(s->client, role, d, &child);
    if (!r.ok()) return r;
    r = search(s, child);
    if (!r.ok() || s->found || s->stop) return r;
    if (d.terminating) {
      s->stop = true;
      return {};
    }
  }
  return {};
}

}  // namespace

ClientResult tuf_find_target(TufClient* c, const std::string& path, TargetFile* target) {
  if (!c->has_targets) return refused("no trusted targets");
  Search s{c, path, {}, false, false, {}};
  ClientResult r = search(&s, c->targets);
  if (!r.ok()) return client_failure(r.code, "cannot look up " + path + ": " + r.message);
  if (!s.found) return refused("no trusted role lists the target " + path);
  *target = s.target;
  return {};
}

std::string tuf_target_url(const TufClient& c, const std::string& path, const TargetFile& t) {
  std::string name = path;
  if (c.root.consistent_snapshot) {
    // The hash goes before the file name: "a/b.zav" is "a/<sha256>.b.zav".
    auto hash = t.hashes.count("sha256") != 0 ? t.hashes.find("sha256") : t.hashes.begin();
    size_t slash = path.rfind('/');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    name = path.substr(0, start) + hash->second + "." + path.substr(start);
  }
  return join_url(c.targets_url, percent_encode(name, true));
}

ClientResult tuf_check_target(int fd, const TargetFile& t) {
  std::string sha256, sha512;
  int detail = 0;
  if (file_digests(fd, &sha256, &sha512, &detail) != OK)
    return client_failure(UPDATE_CLIENT_ERR_LOCAL, "cannot read the download back");
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(t.length)) return refused("the download is not the length listed");
  for (const auto& [algorithm, value] : t.hashes) {
    if (algorithm != "sha256" && algorithm != "sha512")
      return refused("the target's hash " + algorithm + " is not supported");
    if ((algorithm == "sha256" ? sha256 : sha512) != value)
      return refused("the download is not the " + algorithm + " listed");
  }
  return {};
}
