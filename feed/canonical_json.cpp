// Canonical JSON over nlohmann::json, whose objects are already kept sorted
// by key bytes (std::map with std::string's memcmp order).
#include "feed/canonical_json.h"

namespace {

void append_string(const std::string& s, std::string* out) {
  out->push_back('"');
  for (char c : s) {
    if (c == '"' || c == '\\') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

}  // namespace

bool canonical_json(const nlohmann::json& value, std::string* out) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      out->push_back('{');
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out->push_back(',');
        first = false;
        append_string(it.key(), out);
        out->push_back(':');
        if (!canonical_json(it.value(), out)) return false;
      }
      out->push_back('}');
      return true;
    }
    case nlohmann::json::value_t::array: {
      out->push_back('[');
      for (size_t i = 0; i < value.size(); i++) {
        if (i > 0) out->push_back(',');
        if (!canonical_json(value[i], out)) return false;
      }
      out->push_back(']');
      return true;
    }
    case nlohmann::json::value_t::string:
      append_string(value.get_ref<const std::string&>(), out);
      return true;
    case nlohmann::json::value_t::boolean:
      *out += value.get<bool>() ? "true" : "false";
      return true;
    case nlohmann::json::value_t::null:
      *out += "null";
      return true;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
      *out += value.dump();
      return true;
    default:
      return false;
  }
}

nlohmann::json parse_json(const std::string& text) {
  return nlohmann::json::parse(text, nullptr, false);
}
