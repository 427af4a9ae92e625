// Changes to the release-wide fields of a published release.
#include "packaging/release_steering.h"

#include "archive/release_version.h"
#include "base/status.h"
#include "packaging/release_publish.h"

namespace {

int fail(std::string* error, const std::string& message) {
  *error = message;
  return ERR_BAD_DATA;
}

// The percentage a rollout has reached at `now`.
std::string share_text(const Rollout& r, int64_t now) {
  return std::to_string(static_cast<int>(rollout_share(r, now) * 100 + 0.5)) + "%";
}

}  // namespace

int steer_release(Repository* repo, const SteeringRequest& q, std::vector<std::string>* report,
                  std::string* error) {
  std::vector<std::string> paths = release_targets(*repo, q.channel, q.release);
  if (paths.empty()) return fail(error, "no release " + q.release + " in channel " + q.channel);
  ReleaseInfo first;
  read_release_info(repo->targets.targets[paths[0]].custom, &first, error);
  Rollout rollout = first.rollout;
  switch (q.action) {
    case Steering::kRollout:
      rollout = q.rollout;
      rollout.halted_at = first.rollout.halted_at;
      report->push_back(q.release + ": rollout at " + share_text(rollout, repo->now) + " now" +
                        (rollout.halted_at > 0 ? " once resumed" : ""));
      break;
    case Steering::kHalt:
      if (rollout.halted_at > 0) return fail(error, q.release + " is halted already");
      rollout.scheduled = true;
      rollout.halted_at = repo->now;
      report->push_back(q.release + ": halted; offered to no more installations");
      break;
    case Steering::kResume:
      if (rollout.halted_at <= 0) return fail(error, q.release + " is not halted");
      // The schedule goes on from where it stood: every later step moves
      // by the time the release was halted.
      if (!rollout.steps.empty() && rollout.start < rollout.halted_at) rollout.start += repo->now - rollout.halted_at;
      rollout.halted_at = 0;
      report->push_back(q.release + ": resumed, rollout at " + share_text(rollout, repo->now) + " now");
      break;
    case Steering::kWithdraw:
      if (first.withdrawn) return fail(error, q.release + " is withdrawn already");
      if (!q.replacement.empty()) {
        if (compare_versions(q.replacement, q.release) == 0 ||
            release_targets(*repo, q.channel, q.replacement).empty())
          return fail(error, "the replacement " + q.replacement + " is not another release of channel " + q.channel);
        int rc = add_replacement(repo, q.channel, q.release, q.replacement, q.replacement_tree, report, error);
        if (rc != OK) return rc;
      }
      report->push_back(q.release + ": withdrawn" +
                        (q.replacement.empty() ? "" : "; installations of it are offered " + q.replacement));
      break;
  }
  for (const std::string& path : paths) {
    ReleaseInfo info;
    read_release_info(repo->targets.targets[path].custom, &info, error);
    info.rollout = rollout;
    if (q.action == Steering::kWithdraw) {
      info.withdrawn = true;
      info.replacement = q.replacement;
    }
    repo->targets.targets[path].custom = release_info_json(info);
  }
  return OK;
}
