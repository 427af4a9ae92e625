// Our fields in the targets' custom objects, and the arithmetic of rollouts.
#include "feed/release_metadata.h"

#include <sodium.h>

#include "archive/release_version.h"
#include "base/status.h"

using nlohmann::json;

namespace {

bool optional_string(const json& o, const char* name, std::string* out) {
  auto it = o.find(name);
  if (it == o.end()) return true;
  if (!it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

bool read_rollout(const json& o, Rollout* r) {
  if (!o.is_object()) return false;
  r->scheduled = true;
  auto get = [&](const char* name, int64_t* out) {
    auto it = o.find(name);
    if (it == o.end()) return true;
    if (!it->is_number_integer() || it->get<int64_t>() < 0) return false;
    *out = it->get<int64_t>();
    return true;
  };
  if (!get("start", &r->start) || !get("interval", &r->interval) || !get("halted_at", &r->halted_at))
    return false;
  auto percent = o.find("percent");
  if (percent != o.end()) {
    if (!percent->is_number_integer() || percent->get<int64_t>() > 100 || percent->get<int64_t>() < 0)
      return false;
    r->percent = static_cast<double>(percent->get<int64_t>());
  }
  auto steps = o.find("steps");
  if (steps != o.end()) {
    if (!steps->is_array()) return false;
    for (const json& s : *steps) {
      if (!s.is_number_integer() || s.get<int64_t>() < 0 || s.get<int64_t>() > 100 ||
          (!r->steps.empty() && s.get<int64_t>() < r->steps.back()))
        return false;
      r->steps.push_back(static_cast<double>(s.get<int64_t>()));
    }
  }
  return true;
}

}  // namespace

int read_release_info(const json& custom, ReleaseInfo* info, std::string* error) {
  *info = ReleaseInfo{};
  if (!custom.is_object() || !optional_string(custom, "channel", &info->channel) ||
      !optional_string(custom, "release", &info->release) ||
      !optional_string(custom, "kind", &info->kind) || !valid_channel(info->channel) ||
      !valid_version(info->release)) {
    *error = "not one of our releases";
    return ERR_BAD_DATA;
  }
  bool ok = optional_string(custom, "base", &info->base) &&
            optional_string(custom, "replaces", &info->replaces) &&
            optional_string(custom, "signature", &info->signature) &&
            optional_string(custom, "notes", &info->notes) &&
            optional_string(custom, "notes_target", &info->notes_target);
  if (ok && info->kind == "partial") ok = valid_version(info->base);
  if (ok && info->kind == "replacement") ok = valid_version(info->replaces);
  if (ok && info->kind != "full" && info->kind != "partial" && info->kind != "replacement" &&
      info->kind != "notes")
    ok = false;
  if (ok && custom.contains("rollout")) ok = read_rollout(custom["rollout"], &info->rollout);
  if (ok && custom.contains("critical")) {
    ok = custom["critical"].is_boolean();
    info->critical = ok && custom["critical"].get<bool>();
  }
  if (ok && custom.contains("withdrawn")) {
    const json& w = custom["withdrawn"];
    info->withdrawn = true;
    ok = w.is_object() && optional_string(w, "replacement", &info->replacement) &&
         (info->replacement.empty() || valid_version(info->replacement));
  }
  if (!ok) {
    *error = "release " + info->release + ": malformed " + info->kind + " target";
    return ERR_BAD_DATA;
  }
  return OK;
}

json release_info_json(const ReleaseInfo& info) {
  json o = {{"channel", info.channel}, {"release", info.release}, {"kind", info.kind}};
  if (!info.base.empty()) o["base"] = info.base;
  if (!info.replaces.empty()) o["replaces"] = info.replaces;
  if (!info.signature.empty()) o["signature"] = info.signature;
  const Rollout& r = info.rollout;
  if (r.scheduled) {
    json rollout = json::object();
    if (r.percent >= 0) rollout["percent"] = static_cast<int64_t>(r.percent);
    if (!r.steps.empty()) {
      rollout["start"] = r.start;
      rollout["interval"] = r.interval;
      json steps = json::array();
      for (double s : r.steps) steps.push_back(static_cast<int64_t>(s));
      rollout["steps"] = steps;
    }
    if (r.halted_at > 0) rollout["halted_at"] = r.halted_at;
    o["rollout"] = rollout;
  }
  if (info.withdrawn) {
    o["withdrawn"] = json::object();
    if (!info.replacement.empty()) o["withdrawn"]["replacement"] = info.replacement;
  }
  if (info.critical) o["critical"] = true;
  if (!info.notes.empty()) o["notes"] = info.notes;
  if (!info.notes_target.empty()) o["notes_target"] = info.notes_target;
  return o;
}

double rollout_share(const Rollout& r, int64_t now) {
  if (r.halted_at > 0) return 0;
  if (!r.scheduled) return 1;
  if (r.percent >= 0) return r.percent / 100;
  if (r.steps.empty()) return 1;
  if (now < r.start) return 0;
  int64_t step = r.interval > 0 ? (now - r.start) / r.interval : static_cast<int64_t>(r.steps.size());
  if (step >= static_cast<int64_t>(r.steps.size())) step = static_cast<int64_t>(r.steps.size()) - 1;
  return r.steps[static_cast<size_t>(step)] / 100;
}

double rollout_position(const std::string& installation_id, const std::string& channel,
                        const std::string& release) {
  std::string text = installation_id + "/" + channel + "/" + release;
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  uint64_t value = 0;
  for (int i = 0; i < 8; i++) value = value << 8 | digest[i];
  return static_cast<double>(value >> 11) / static_cast<double>(uint64_t{1} << 53);
}

std::string release_target_path(const std::string& channel, const std::string& release,
                                 const std::string& name) {
  return channel + "/" + release + "/" + name;
}
