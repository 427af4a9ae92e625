// Writing TUF metadata: each role as its JSON "signed" object (key objects
// and targets' custom fields as they were read), and the signed file's bytes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "feed/tuf_keys.h"
#include "feed/tuf_metadata.h"

// The version of TUF that our metadata follows.
constexpr const char kTufSpecVersion[] = "1.0.31";

nlohmann::json meta_file_json(const MetaFile& meta);
nlohmann::json root_json(const RootRole& root);
nlohmann::json timestamp_json(const TimestampRole& timestamp);
nlohmann::json snapshot_json(const SnapshotRole& snapshot);
nlohmann::json targets_json(const TargetsRole& targets);

// The metadata file of `signed_part` signed by every signer, as indented
// JSON with a final newline. OK, or the status with *error.
int sign_metadata(const nlohmann::json& signed_part, const std::vector<TufSigner>& signers,
                  std::string* bytes, std::string* error);
