// Fuzz target: release metadata bytes through the parser of the signed
// envelope, every role's reader, the signature check against the file's own
// root keys, delegation paths and each target's custom field.
#include <cstdint>
#include <string>

#include "base/status.h"
#include "feed/release_metadata.h"
#include "feed/tuf_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Envelope envelope;
  std::string error;
  if (parse_envelope(std::string(reinterpret_cast<const char*>(data), size), &envelope, &error) != OK) return 0;
  RootRole root;
  if (parse_root(envelope, &root, &error) == OK) {
    for (const auto& [name, role] : root.roles) signed_by_threshold(envelope, root.keys, role);
  }
  TimestampRole timestamp;
  parse_timestamp(envelope, &timestamp, &error);
  SnapshotRole snapshot;
  parse_snapshot(envelope, &snapshot, &error);
  TargetsRole targets;
  if (parse_targets(envelope, &targets, &error) == OK) {
    for (const auto& [path, target] : targets.targets) {
      ReleaseInfo info;
      if (!target.custom.is_null()) read_release_info(target.custom, &info, &error);
      for (const DelegatedRole& role : targets.delegations) delegation_covers(role, path);
    }
  }
  return 0;
}
