// Building and signing TUF metadata.
#include "feed/tuf_writer.h"

#include "base/status.h"
#include "feed/canonical_json.h"

using nlohmann::json;

namespace {

json common_json(const SignedCommon& c) {
  return {{"_type", c.type},
          {"spec_version", kTufSpecVersion},
          {"version", c.version},
          {"expires", format_tuf_time(c.expires)}};
}

json role_keys_json(const RoleKeys& r) { return {{"keyids", r.keyids}, {"threshold", r.threshold}}; }

json keys_json(const std::map<std::string, TufKey>& keys) {
  json o = json::object();
  for (const auto& [id, key] : keys) o[id] = key.raw;
  return o;
}

}  // namespace

json meta_file_json(const MetaFile& m) {
  json o = {{"version", m.version}};
  if (m.length >= 0) o["length"] = m.length;
  if (!m.hashes.empty()) o["hashes"] = m.hashes;
  return o;
}

json root_json(const RootRole& root) {
  json o = common_json(root.common);
  o["consistent_snapshot"] = root.consistent_snapshot;
  o["keys"] = keys_json(root.keys);
  json roles = json::object();
  for (const auto& [name, r] : root.roles) roles[name] = role_keys_json(r);
  o["roles"] = roles;
  return o;
}

json timestamp_json(const TimestampRole& t) {
  json o = common_json(t.common);
  o["meta"] = {{"snapshot.json", meta_file_json(t.snapshot)}};
  return o;
}

json snapshot_json(const SnapshotRole& s) {
  json o = common_json(s.common);
  json meta = json::object();
  for (const auto& [name, m] : s.meta) meta[name] = meta_file_json(m);
  o["meta"] = meta;
  return o;
}

json targets_json(const TargetsRole& t) {
  json o = common_json(t.common);
  json targets = json::object();
  for (const auto& [path, f] : t.targets) {
    json entry = {{"length", f.length}, {"hashes", f.hashes}};
    if (!f.custom.is_null()) entry["custom"] = f.custom;
    targets[path] = entry;
  }
  o["targets"] = targets;
  if (!t.delegations.empty()) {
    json roles = json::array();
    for (const DelegatedRole& d : t.delegations) {
      json r = {{"name", d.name}, {"keyids", d.keys.keyids}, {"threshold", d.keys.threshold},
                {"terminating", d.terminating}};
      if (!d.path_hash_prefixes.empty())
        r["path_hash_prefixes"] = d.path_hash_prefixes;
      else
        r["paths"] = d.paths;
      roles.push_back(r);
    }
    o["delegations"] = {{"keys", keys_json(t.delegation_keys)}, {"roles", roles}};
  }
  return o;
}

int sign_metadata(const json& signed_part, const std::vector<TufSigner>& signers,
                  std::string* bytes, std::string* error) {
  std::string canonical;
  if (!canonical_json(signed_part, &canonical)) {
    *error = "metadata with a number that is not an integer";
    return ERR_BAD_DATA;
  }
  json signatures = json::array();
  for (const TufSigner& signer : signers) {
    std::string sig;
    int rc = tuf_sign(signer, canonical, &sig, error);
    if (rc != OK) return rc;
    signatures.push_back({{"keyid", signer.keyid}, {"sig", sig}});
  }
  *bytes = json{{"signed", signed_part}, {"signatures", signatures}}.dump(1) + "\n";
  return OK;
}
