// The top-level roles of the TUF client workflow: root, timestamp, snapshot,
// targets. Each new file is checked completely before it replaces the
// trusted one; a failure leaves what was trusted before.
#include "client/tuf_client.h"

#include "base/status.h"
#include "client/http_get.h"
#include "client/metadata_store.h"
#include "feed/digest.h"

namespace {

// Bounds for files whose length no trusted file gives.
constexpr int64_t kMaxRootSize = 512 << 10;
constexpr int64_t kMaxTimestampSize = 16 << 10;
constexpr int64_t kMaxSnapshotSize = 4 << 20;
constexpr int64_t kMaxTargetsSize = 16 << 20;
// How many root versions one refresh follows: far more than a repository
// makes in the life of an installation.
constexpr int kMaxRootSteps = 1024;

ClientResult refused(const std::string& message) {
  return client_failure(UPDATE_CLIENT_ERR_REFUSED, message);
}

// Downloads one metadata file. *not_found tells a missing file apart from a
// failure (when `not_found` is given).
ClientResult download(const TufClient& c, const std::string& name, int64_t limit,
                      std::string* bytes, bool* not_found = nullptr) {
  HttpOptions options;
  options.deadline_seconds = c.deadline_seconds;
  HttpResult r;
  int rc = http_get_bytes(join_url(c.metadata_url, name), limit, options, bytes, &r);
  if (not_found != nullptr) *not_found = rc != OK && http_not_found(r);
  if (rc == OK) return {};
  if (rc == ERR_BAD_DATA) return refused(r.error);
  return client_failure(rc == ERR_READ ? UPDATE_CLIENT_ERR_NETWORK : UPDATE_CLIENT_ERR_LOCAL,
                        r.error);
}

// The listed length and hashes of a metadata file against its bytes.
ClientResult check_listed(const MetaFile& meta, const std::string& bytes, const std::string& name) {
  if (meta.length >= 0 && static_cast<int64_t>(bytes.size()) != meta.length)
    return refused(name + ": not the length listed");
  for (const auto& [algorithm, value] : meta.hashes) {
    std::string digest = hex_digest(algorithm, bytes);
    if (digest.empty()) return refused(name + ": hash " + algorithm + " not supported");
    if (digest != value) return refused(name + ": not the " + algorithm + " listed");
  }
  return {};
}

ClientResult expired(const std::string& name, const SignedCommon& c, int64_t now) {
  if (c.expires > now) return {};
  return refused(name + " expired at " + format_tuf_time(c.expires) +
                 " (the repository may be frozen, or this clock is wrong)");
}

// Parses `bytes` as role metadata with `parse`, signed by the `role` of the
// trusted root.
template <typename Role, typename Parse>
ClientResult verify_top_level(const TufClient& c, const std::string& role, const std::string& bytes,
                              Parse parse, Envelope* envelope, Role* out) {
  std::string error;
  if (parse_envelope(bytes, envelope, &error) != OK || parse(*envelope, out, &error) != OK)
    return refused(role + ".json: " + error);
  if (!signed_by_threshold(*envelope, c.root.keys, c.root.roles.at(role)))
    return refused(role + ".json: not signed by a threshold of its keys");
  return {};
}

// A trusted file of the metadata directory that still verifies with the
// current root; false when there is none.
template <typename Role, typename Parse>
bool load_local(const TufClient& c, const std::string& role, int64_t limit, Parse parse, Role* out) {
  std::string bytes;
  Envelope envelope;
  return read_trusted_file(c.metadata_dir, role + ".json", static_cast<size_t>(limit), &bytes) &&
         verify_top_level(c, role, bytes, parse, &envelope, out).ok();
}

ClientResult load_trusted_root(TufClient* c) {
  std::string bytes, error;
  Envelope envelope;
  if (!read_trusted_file(c->metadata_dir, "root.json", kMaxRootSize, &bytes))
    return client_failure(UPDATE_CLIENT_ERR_USAGE, c->metadata_dir + "/root.json: no trusted root");
  if (parse_envelope(bytes, &envelope, &error) != OK || parse_root(envelope, &c->root, &error) != OK)
    return refused("trusted root: " + error);
  if (!signed_by_threshold(envelope, c->root.keys, c->root.roles.at("root")))
    return refused("trusted root: not signed by a threshold of its own keys");
  return {};
}

bool same_keys(const RootRole& a, const RootRole& b, const std::string& role) {
  const RoleKeys &x = a.roles.at(role), &y = b.roles.at(role);
  return x.keyids == y.keyids && x.threshold == y.threshold;
}

ClientResult update_root(TufClient* c) {
  RootRole start = c->root;
  for (int step = 0; step < kMaxRootSteps; step++) {
    int64_t next = c->root.common.version + 1;
    std::string name = std::to_string(next) + ".root.json", bytes, error;
    bool not_found = false;
    ClientResult r = download(*c, name, kMaxRootSize, &bytes, &not_found);
    if (not_found) break;
    if (!r.ok()) return r;
    Envelope envelope;
    RootRole root;
    if (parse_envelope(bytes, &envelope, &error) != OK || parse_root(envelope, &root, &error) != OK)
      return refused(name + ": " + error);
    // The new root must be vouched for by the keys trusted so far and by its own.
    if (!signed_by_threshold(envelope, c->root.keys, c->root.roles.at("root")) ||
        !signed_by_threshold(envelope, root.keys, root.roles.at("root")))
      return refused(name + ": not signed by a threshold of the old and of the new root keys");
    if (root.common.version != next) return refused(name + ": holds version " + std::to_string(root.common.version));
    c->root = root;
    r = write_trusted_file(c->metadata_dir, "root.json", bytes);
    if (!r.ok()) return r;
  }
  ClientResult r = expired("root.json", c->root.common, c->now);
  if (!r.ok()) return r;
  // New timestamp or snapshot keys: the files they signed may carry versions
  // pushed far ahead by whoever held the old keys; start those afresh.
  if (!same_keys(start, c->root, "timestamp") || !same_keys(start, c->root, "snapshot")) {
    remove_trusted_file(c->metadata_dir, "timestamp.json");
    remove_trusted_file(c->metadata_dir, "snapshot.json");
  }
  return {};
}

ClientResult update_timestamp(TufClient* c) {
  c->has_timestamp = load_local(*c, "timestamp", kMaxTimestampSize, parse_timestamp, &c->timestamp);
  std::string bytes;
  ClientResult r = download(*c, "timestamp.json", kMaxTimestampSize, &bytes);
  if (!r.ok()) return r;
  Envelope envelope;
  TimestampRole fresh;
  r = verify_top_level(*c, "timestamp", bytes, parse_timestamp, &envelope, &fresh);
  if (!r.ok()) return r;
  if (c->has_timestamp) {
    const TimestampRole& old = c->timestamp;
    if (fresh.common.version < old.common.version)
      return refused("timestamp.json: version " + std::to_string(fresh.common.version) +
                     " is older than the trusted " + std::to_string(old.common.version));
    // The same version again: nothing can have changed; keep the trusted one.
    if (fresh.common.version == old.common.version)
      return expired("timestamp.json", old.common, c->now);
    if (fresh.snapshot.version < old.snapshot.version)
      return refused("timestamp.json: lists snapshot version " +
                     std::to_string(fresh.snapshot.version) + ", older than the trusted " +
                     std::to_string(old.snapshot.version));
  }
  r = expired("timestamp.json", fresh.common, c->now);
  if (!r.ok()) return r;
  c->timestamp = fresh;
  c->has_timestamp = true;
  return write_trusted_file(c->metadata_dir, "timestamp.json", bytes);
}

std::string versioned_name(const TufClient& c, int64_t version, const std::string& name) {
  return c.root.consistent_snapshot ? std::to_string(version) + "." + name : name;
}

// Downloads the version of `role` that `meta` lists and checks it: its length
// and hashes as listed, the trusted root's signatures, and that it holds that
// very version. *bytes and *fresh get what came.
template <typename Role, typename Parse>
ClientResult download_listed(const TufClient& c, const std::string& role, const MetaFile& meta, int64_t limit,
                             Parse parse, std::string* bytes, Role* fresh) {
  std::string name = versioned_name(c, meta.version, role + ".json");
  ClientResult r = download(c, name, meta.length >= 0 ? meta.length : limit, bytes);
  if (r.ok()) r = check_listed(meta, *bytes, name);
  Envelope envelope;
  if (r.ok()) r = verify_top_level(c, role, *bytes, parse, &envelope, fresh);
  if (!r.ok()) return r;
  if (fresh->common.version != meta.version)
    return refused(name + ": holds version " + std::to_string(fresh->common.version));
  return {};
}

ClientResult update_snapshot(TufClient* c) {
  const MetaFile& meta = c->timestamp.snapshot;
  SnapshotRole local;
  bool has_local = load_local(*c, "snapshot", kMaxSnapshotSize, parse_snapshot, &local);
  if (has_local && local.common.version == meta.version) {
    c->snapshot = local;
    c->has_snapshot = true;
    return expired("snapshot.json", local.common, c->now);
  }
  std::string bytes, name = versioned_name(*c, meta.version, "snapshot.json");
  SnapshotRole fresh;
  ClientResult r = download_listed(*c, "snapshot", meta, kMaxSnapshotSize, parse_snapshot, &bytes, &fresh);
  if (!r.ok()) return r;
  // No targets file may go back or disappear.
  for (const auto& [file, old] : has_local ? local.meta : std::map<std::string, MetaFile>{}) {
    auto now = fresh.meta.find(file);
    if (now == fresh.meta.end()) return refused(name + ": no longer lists " + file);
    if (now->second.version < old.version)
      return refused(name + ": lists " + file + " version " + std::to_string(now->second.version) +
                     ", older than the trusted " + std::to_string(old.version));
  }
  r = expired("snapshot.json", fresh.common, c->now);
  if (!r.ok()) return r;
  c->snapshot = fresh;
  c->has_snapshot = true;
  return write_trusted_file(c->metadata_dir, "snapshot.json", bytes);
}

ClientResult update_targets(TufClient* c) {
  auto listed = c->snapshot.meta.find("targets.json");
  if (listed == c->snapshot.meta.end()) return refused("snapshot.json does not list targets.json");
  const MetaFile& meta = listed->second;
  TargetsRole local;
  if (load_local(*c, "targets", kMaxTargetsSize, parse_targets, &local) &&
      local.common.version == meta.version) {
    c->targets = local;
    c->has_targets = true;
    return expired("targets.json", local.common, c->now);
  }
  std::string bytes;
  TargetsRole fresh;
  ClientResult r = download_listed(*c, "targets", meta, kMaxTargetsSize, parse_targets, &bytes, &fresh);
  if (!r.ok()) return r;
  r = expired("targets.json", fresh.common, c->now);
  if (!r.ok()) return r;
  c->targets = fresh;
  c->has_targets = true;
  return write_trusted_file(c->metadata_dir, "targets.json", bytes);
}

}  // namespace

ClientResult tuf_init(const std::string& metadata_dir, const std::string& root_bytes) {
  ClientResult r = make_metadata_dir(metadata_dir);
  if (!r.ok()) return r;
  std::string trusted, error;
  Envelope a, b;
  RootRole old_root, new_root;
  // A root shipped with a newer installation replaces an older trusted one;
  // never the other way round.
  if (read_trusted_file(metadata_dir, "root.json", kMaxRootSize, &trusted) &&
      parse_envelope(trusted, &a, &error) == OK && parse_root(a, &old_root, &error) == OK &&
      (parse_envelope(root_bytes, &b, &error) != OK || parse_root(b, &new_root, &error) != OK ||
       new_root.common.version <= old_root.common.version))
    return {};
  return write_trusted_file(metadata_dir, "root.json", root_bytes);
}

ClientResult tuf_refresh(TufClient* c) {
  c->has_timestamp = c->has_snapshot = c->has_targets = false;
  ClientResult r = load_trusted_root(c);
  if (r.ok()) r = update_root(c);
  if (r.ok()) r = update_timestamp(c);
  if (r.ok()) r = update_snapshot(c);
  if (r.ok()) r = update_targets(c);
  return r;
}
