// Reading TUF metadata with nlohmann::json, parsed without exceptions; every
// field is looked at with its type before it is used.
#include "feed/tuf_metadata.h"

#include <fnmatch.h>

#include <ctime>
#include <set>

#include "base/status.h"
#include "feed/canonical_json.h"
#include "feed/digest.h"

using nlohmann::json;

namespace {

bool get_int(const json& o, const char* name, int64_t* out) {
  auto it = o.find(name);
  if (it == o.end() || !it->is_number_integer()) return false;
  *out = it->get<int64_t>();
  return true;
}

bool get_string(const json& o, const char* name, std::string* out) {
  auto it = o.find(name);
  if (it == o.end() || !it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

int fail(std::string* error, const std::string& what) {
  *error = what;
  return ERR_BAD_DATA;
}

int read_common(const json& s, const char* type, SignedCommon* c, std::string* error) {
  std::string format_version, expires;
  if (!get_string(s, "_type", &c->type) || c->type != type)
    return fail(error, std::string("not ") + type + " metadata");
  if (!get_int(s, "version", &c->version) || c->version < 1)
    return fail(error, std::string(type) + ": missing or malformed \"version\"");
  if (!get_string(s, "spec_version", &format_version) || format_version.compare(0, 2, "1.") != 0)
    return fail(error, std::string(type) + ": missing or unsupported \"spec_version\"");
  if (!get_string(s, "expires", &expires) || !parse_tuf_time(expires, &c->expires))
    return fail(error, std::string(type) + ": missing or malformed \"expires\"");
  return OK;
}

bool read_hashes(const json& o, std::map<std::string, std::string>* hashes) {
  if (!o.is_object() || o.empty()) return false;
  for (auto it = o.begin(); it != o.end(); ++it) {
    if (!it->is_string()) return false;
    (*hashes)[it.key()] = it->get<std::string>();
  }
  return true;
}

bool read_meta_file(const json& o, MetaFile* m) {
  if (!o.is_object() || !get_int(o, "version", &m->version) || m->version < 1) return false;
  if (o.contains("length") && (!get_int(o, "length", &m->length) || m->length < 0)) return false;
  return !o.contains("hashes") || read_hashes(o["hashes"], &m->hashes);
}

// Key ids as a list of distinct strings.
bool read_keyids(const json& o, std::vector<std::string>* ids) {
  if (!o.is_array()) return false;
  std::set<std::string> seen;
  for (const json& id : o) {
    if (!id.is_string() || !seen.insert(id.get<std::string>()).second) return false;
    ids->push_back(id.get<std::string>());
  }
  return true;
}

bool read_role_keys(const json& o, RoleKeys* r) {
  return o.is_object() && o.contains("keyids") && read_keyids(o["keyids"], &r->keyids) &&
         get_int(o, "threshold", &r->threshold) && r->threshold >= 1;
}

// A key table whose every id is the key's own: a listed id that belongs to
// another key would let one key count for two.
bool read_keys(const json& o, std::map<std::string, TufKey>* keys) {
  if (!o.is_object()) return false;
  for (auto it = o.begin(); it != o.end(); ++it) {
    TufKey key;
    if (!parse_tuf_key(it.value(), &key) || tuf_key_id(it.value()) != it.key()) return false;
    (*keys)[it.key()] = key;
  }
  return true;
}

bool read_delegations(const json& o, TargetsRole* t) {
  if (!o.is_object() || !o.contains("keys") || !read_keys(o["keys"], &t->delegation_keys) ||
      !o.contains("roles") || !o["roles"].is_array())
    return false;
  std::set<std::string> names;
  for (const json& r : o["roles"]) {
    DelegatedRole role;
    if (!r.is_object() || !get_string(r, "name", &role.name) || !names.insert(role.name).second ||
        !read_role_keys(r, &role.keys))
      return false;
    auto terminating = r.find("terminating");
    if (terminating != r.end() && !terminating->is_boolean()) return false;
    role.terminating = terminating != r.end() && terminating->get<bool>();
    bool has_paths = r.contains("paths"), has_prefixes = r.contains("path_hash_prefixes");
    if (has_paths && has_prefixes) return false;
    for (const char* field : {"paths", "path_hash_prefixes"}) {
      if (!r.contains(field)) continue;
      if (!r[field].is_array()) return false;
      for (const json& p : r[field]) {
        if (!p.is_string()) return false;
        (has_paths ? role.paths : role.path_hash_prefixes).push_back(p.get<std::string>());
      }
    }
    t->delegations.push_back(role);
  }
  return true;
}

}  // namespace

int parse_envelope(const std::string& bytes, Envelope* e, std::string* error) {
  *e = Envelope{};
  json j = parse_json(bytes);
  if (j.is_discarded() || !j.is_object()) return fail(error, "not a JSON object");
  auto s = j.find("signed"), sigs = j.find("signatures");
  if (s == j.end() || !s->is_object() || sigs == j.end() || !sigs->is_array())
    return fail(error, "missing \"signed\" or \"signatures\"");
  std::set<std::string> seen;
  for (const json& sig : *sigs) {
    std::string keyid, value;
    if (!sig.is_object() || !get_string(sig, "keyid", &keyid) || !get_string(sig, "sig", &value))
      return fail(error, "malformed signature entry");
    if (!seen.insert(keyid).second) return fail(error, "two signatures by key " + keyid);
    e->signatures.emplace_back(keyid, value);
  }
  e->signed_part = *s;
  if (!canonical_json(e->signed_part, &e->canonical)) return fail(error, "a number that is not an integer");
  return OK;
}

int parse_root(const Envelope& e, RootRole* root, std::string* error) {
  *root = RootRole{};
  const json& s = e.signed_part;
  int rc = read_common(s, "root", &root->common, error);
  if (rc != OK) return rc;
  auto cs = s.find("consistent_snapshot");
  if (cs != s.end() && !cs->is_boolean()) return fail(error, "root: malformed \"consistent_snapshot\"");
  root->consistent_snapshot = cs != s.end() && cs->get<bool>();
  if (!s.contains("keys") || !read_keys(s["keys"], &root->keys))
    return fail(error, "root: malformed \"keys\" (or a key id that is not the key's)");
  if (!s.contains("roles") || !s["roles"].is_object()) return fail(error, "root: missing \"roles\"");
  for (auto it = s["roles"].begin(); it != s["roles"].end(); ++it) {
    RoleKeys r;
    if (!read_role_keys(it.value(), &r)) return fail(error, "root: malformed role " + it.key());
    root->roles[it.key()] = r;
  }
  for (const char* role : {"root", "timestamp", "snapshot", "targets"})
    if (root->roles.count(role) == 0) return fail(error, std::string("root: no role ") + role);
  return OK;
}

int parse_timestamp(const Envelope& e, TimestampRole* t, std::string* error) {
  *t = TimestampRole{};
  int rc = read_common(e.signed_part, "timestamp", &t->common, error);
  if (rc != OK) return rc;
  auto meta = e.signed_part.find("meta");
  if (meta == e.signed_part.end() || !meta->is_object() || meta->size() != 1 ||
      !meta->contains("snapshot.json") || !read_meta_file((*meta)["snapshot.json"], &t->snapshot))
    return fail(error, "timestamp: \"meta\" must list snapshot.json alone");
  return OK;
}

int parse_snapshot(const Envelope& e, SnapshotRole* s, std::string* error) {
  *s = SnapshotRole{};
  int rc = read_common(e.signed_part, "snapshot", &s->common, error);
  if (rc != OK) return rc;
  auto meta = e.signed_part.find("meta");
  if (meta == e.signed_part.end() || !meta->is_object()) return fail(error, "snapshot: missing \"meta\"");
  for (auto it = meta->begin(); it != meta->end(); ++it) {
    MetaFile m;
    if (!read_meta_file(it.value(), &m)) return fail(error, "snapshot: malformed entry " + it.key());
    s->meta[it.key()] = m;
  }
  return OK;
}

int parse_targets(const Envelope& e, TargetsRole* t, std::string* error) {
  *t = TargetsRole{};
  const json& s = e.signed_part;
  int rc = read_common(s, "targets", &t->common, error);
  if (rc != OK) return rc;
  auto targets = s.find("targets");
  if (targets == s.end() || !targets->is_object()) return fail(error, "targets: missing \"targets\"");
  for (auto it = targets->begin(); it != targets->end(); ++it) {
    TargetFile f;
    const json& o = it.value();
    if (!o.is_object() || !get_int(o, "length", &f.length) || f.length < 0 ||
        !o.contains("hashes") || !read_hashes(o["hashes"], &f.hashes))
      return fail(error, "targets: malformed target " + it.key());
    if (o.contains("custom")) {
      if (!o["custom"].is_object()) return fail(error, "targets: malformed custom of " + it.key());
      f.custom = o["custom"];
    }
    t->targets[it.key()] = f;
  }
  if (s.contains("delegations") && !read_delegations(s["delegations"], t))
    return fail(error, "targets: malformed \"delegations\"");
  return OK;
}

bool signed_by_threshold(const Envelope& e, const std::map<std::string, TufKey>& keys,
                         const RoleKeys& role) {
  int64_t good = 0;
  // Role key ids are distinct (read_keyids) and signature key ids too
  // (parse_envelope): each key counts once.
  for (const std::string& id : role.keyids) {
    auto key = keys.find(id);
    if (key == keys.end()) continue;
    for (const auto& [keyid, sig] : e.signatures) {
      if (keyid == id && verify_tuf_signature(key->second, sig, e.canonical)) {
        good++;
        break;
      }
    }
  }
  return good >= role.threshold;
}

bool delegation_covers(const DelegatedRole& role, const std::string& target_path) {
  for (const std::string& pattern : role.paths)
    if (fnmatch(pattern.c_str(), target_path.c_str(), FNM_PATHNAME) == 0) return true;
  if (role.path_hash_prefixes.empty()) return false;
  std::string digest = hex_digest("sha256", target_path);
  for (const std::string& prefix : role.path_hash_prefixes)
    if (digest.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

bool parse_tuf_time(const std::string& text, int64_t* seconds) {
  struct tm tm = {};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (end == nullptr || text.size() != 20 || std::string(end) != "Z") return false;
  *seconds = static_cast<int64_t>(timegm(&tm));
  return true;
}

std::string format_tuf_time(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}
