// Canonical JSON, the byte form that TUF signatures and key ids are computed
// over: object keys sorted by their bytes, no blanks, strings with only '"'
// and '\' escaped, integers only.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Appends the canonical form of `value` to *out. False (with *out partly
// written) when `value` holds a number that is not an integer.
bool canonical_json(const nlohmann::json& value, std::string* out);

// Parses `text` as JSON without throwing; a discarded value when it is not
// JSON. Duplicate keys keep the last value, as every reader of ours does.
nlohmann::json parse_json(const std::string& text);
