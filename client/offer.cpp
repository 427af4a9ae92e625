// Which release an installation is offered.
#include "client/offer.h"

#include <map>

#include "archive/release_version.h"
#include "base/status.h"

namespace {

struct Listed {
  std::string path;
  const TargetFile* target = nullptr;
  ReleaseInfo info;
};

struct Release {
  Listed full;
  std::map<std::string, Listed> partials;      // by base release
  std::map<std::string, Listed> replacements;  // by the release they bring
};

struct VersionOrder {
  bool operator()(const std::string& a, const std::string& b) const {
    return compare_versions(a, b) < 0;
  }
};

std::string percent(double share) { return std::to_string(static_cast<int>(share * 100 + 0.5)) + "%"; }

// Empty when `release` is offered to this installation, else why not.
std::string why_not(const ReleaseInfo& info, const OfferInput& in) {
  if (info.withdrawn) return info.release + " was withdrawn";
  if (info.rollout.halted_at > 0) return info.release + " is halted";
  if (info.critical || in.manual) return "";
  double share = rollout_share(info.rollout, in.now);
  if (rollout_position(in.installation_id, in.channel, info.release) < share) return "";
  return info.release + " is rolled out to " + percent(share) + " of installations, not yet to this one";
}

}  // namespace

OfferChoice choose_offer(const TargetsRole& targets, const OfferInput& in) {
  std::map<std::string, Release, VersionOrder> releases;
  for (const auto& [path, target] : targets.targets) {
    Listed l{path, &target, {}};
    std::string error;
    if (read_release_info(target.custom, &l.info, &error) != OK || l.info.channel != in.channel) continue;
    // The path names the release too; a target listed under another
    // release's folder is not trusted to be what it says.
    const std::string& folder = l.info.kind == "replacement" ? l.info.replaces : l.info.release;
    if (path.compare(0, in.channel.size() + folder.size() + 2, in.channel + "/" + folder + "/") != 0) continue;
    if (l.info.kind == "full") releases[l.info.release].full = l;
    if (l.info.kind == "partial") releases[l.info.release].partials[l.info.base] = l;
    if (l.info.kind == "replacement") releases[l.info.replaces].replacements[l.info.release] = l;
  }
  OfferChoice choice;
  const Listed* chosen = nullptr;
  for (auto it = releases.rbegin(); it != releases.rend() && chosen == nullptr; ++it) {
    if (compare_versions(it->first, in.current) <= 0) break;
    if (it->second.full.target == nullptr) continue;
    std::string reason = why_not(it->second.full.info, in);
    if (reason.empty()) {
      chosen = &it->second.full;
      auto partial = it->second.partials.find(in.current);
      if (!in.full_only && partial != it->second.partials.end() &&
          partial->second.target->length < chosen->target->length) {
        chosen = &partial->second;
        choice.partial = true;
      }
    } else if (choice.withheld.empty()) {
      choice.withheld = reason;
    }
  }
  // Only the release named in the withdrawal of this very release may take
  // an installation back to an older one.
  auto current = releases.find(in.current);
  if (chosen == nullptr && current != releases.end() && current->second.full.info.withdrawn) {
    auto replacement = current->second.replacements.find(current->second.full.info.replacement);
    if (replacement != current->second.replacements.end()) {
      chosen = &replacement->second;
      choice.replacement = true;
    }
  }
  if (chosen == nullptr) return choice;
  choice.available = true;
  choice.path = chosen->path;
  choice.target = *chosen->target;
  choice.info = chosen->info;
  return choice;
}
