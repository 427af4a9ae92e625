// The release feed in JSON (nlohmann-json, parsed without exceptions) and the
// SHA-256 digests it lists (libsodium).
#include "feed/feed.h"

#include <sodium.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "base/fd.h"
#include "base/status.h"

using nlohmann::json;

namespace {

constexpr size_t kMaxVersionPart = 9;

// Splits a valid version into its numbers, trailing zeros dropped so that
// "1.0" and "1" compare equal.
std::vector<long> version_numbers(const std::string& version) {
  std::vector<long> numbers;
  size_t start = 0;
  while (start <= version.size()) {
    size_t dot = version.find('.', start);
    if (dot == std::string::npos) dot = version.size();
    numbers.push_back(std::stol(version.substr(start, dot - start)));
    start = dot + 1;
  }
  while (!numbers.empty() && numbers.back() == 0) numbers.pop_back();
  return numbers;
}

bool is_hex_digest(const std::string& s) {
  if (s.size() != 2 * kSha256Size) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool plain_url(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (c <= ' ' || c == '"' || c == '\\' || c >= 0x7f) return false;
  return true;
}

// Reads one package object; `what` names it in the error.
bool read_package(const json& j, bool partial, const std::string& what, FeedPackage* out,
                  std::string* error) {
  if (!j.is_object()) {
    *error = what + " is not an object";
    return false;
  }
  auto url = j.find("url");
  auto size = j.find("size");
  auto sha = j.find("sha256");
  if (url == j.end() || !url->is_string() || !plain_url(url->get<std::string>())) {
    *error = what + ": missing or malformed \"url\"";
    return false;
  }
  if (size == j.end() || !size->is_number_integer() || size->get<int64_t>() < 0 ||
      size->get<int64_t>() > kMaxListedSize) {
    *error = what + ": missing or malformed \"size\"";
    return false;
  }
  if (sha == j.end() || !sha->is_string() || !is_hex_digest(sha->get<std::string>())) {
    *error = what + ": missing or malformed \"sha256\"";
    return false;
  }
  if (partial) {
    auto from = j.find("from");
    if (from == j.end() || !from->is_string() || !valid_version(from->get<std::string>())) {
      *error = what + ": missing or malformed \"from\"";
      return false;
    }
    out->from = from->get<std::string>();
  }
  out->url = url->get<std::string>();
  out->size = size->get<int64_t>();
  out->sha256 = sha->get<std::string>();
  return true;
}

bool read_release(const json& j, size_t index, FeedRelease* out, std::string* error) {
  std::string what = "release " + std::to_string(index + 1);
  if (!j.is_object()) {
    *error = what + " is not an object";
    return false;
  }
  auto version = j.find("version");
  if (version == j.end() || !version->is_string() || !valid_version(version->get<std::string>())) {
    *error = what + ": missing or malformed \"version\"";
    return false;
  }
  out->version = version->get<std::string>();
  what = "release " + out->version;
  auto full = j.find("full");
  if (full == j.end()) {
    *error = what + ": missing \"full\"";
    return false;
  }
  if (!read_package(*full, false, what + " full package", &out->full, error)) return false;
  auto partials = j.find("partials");
  if (partials == j.end()) return true;
  if (!partials->is_array()) {
    *error = what + ": \"partials\" is not a list";
    return false;
  }
  for (const json& p : *partials) {
    FeedPackage package;
    if (!read_package(p, true, what + " partial package", &package, error)) return false;
    out->partials.push_back(package);
  }
  return true;
}

json package_json(const FeedPackage& p) {
  json j = json::object();
  if (!p.from.empty()) j["from"] = p.from;
  j["url"] = p.url;
  j["size"] = p.size;
  j["sha256"] = p.sha256;
  return j;
}

}  // namespace

bool valid_version(const std::string& version) {
  size_t digits = 0;
  for (size_t i = 0; i <= version.size(); i++) {
    if (i == version.size() || version[i] == '.') {
      if (digits == 0) return false;
      digits = 0;
    } else if (version[i] >= '0' && version[i] <= '9' && digits < kMaxVersionPart) {
      digits++;
    } else {
      return false;
    }
  }
  return true;
}

int compare_versions(const std::string& a, const std::string& b) {
  std::vector<long> x = version_numbers(a), y = version_numbers(b);
  for (size_t i = 0; i < x.size() || i < y.size(); i++) {
    long p = i < x.size() ? x[i] : 0, q = i < y.size() ? y[i] : 0;
    if (p != q) return p < q ? -1 : 1;
  }
  return 0;
}

bool valid_channel(const std::string& channel) {
  if (channel.empty() || channel[0] == '.' || channel.size() > 64) return false;
  for (char c : channel)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

int parse_feed(const std::string& text, Feed* feed, std::string* error) {
  *feed = Feed{};
  error->clear();
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = "not a JSON object";
    return ERR_BAD_DATA;
  }
  auto channel = j.find("channel");
  auto created = j.find("created");
  auto releases = j.find("releases");
  if (channel == j.end() || !channel->is_string() || !valid_channel(channel->get<std::string>())) {
    *error = "missing or malformed \"channel\"";
    return ERR_BAD_DATA;
  }
  if (created == j.end() || !created->is_number_integer() || created->get<int64_t>() < 0) {
    *error = "missing or malformed \"created\"";
    return ERR_BAD_DATA;
  }
  if (releases == j.end() || !releases->is_array()) {
    *error = "missing or malformed \"releases\"";
    return ERR_BAD_DATA;
  }
  feed->channel = channel->get<std::string>();
  feed->created = created->get<int64_t>();
  for (size_t i = 0; i < releases->size(); i++) {
    FeedRelease release;
    if (!read_release((*releases)[i], i, &release, error)) return ERR_BAD_DATA;
    // Newest first, each version once: a client takes the first as newest.
    if (!feed->releases.empty() &&
        compare_versions(release.version, feed->releases.back().version) >= 0) {
      *error = "release " + release.version + " is not older than the one listed before it";
      return ERR_BAD_DATA;
    }
    feed->releases.push_back(release);
  }
  return OK;
}

std::string feed_json(const Feed& feed) {
  json releases = json::array();
  for (const FeedRelease& r : feed.releases) {
    json partials = json::array();
    for (const FeedPackage& p : r.partials) partials.push_back(package_json(p));
    releases.push_back(
        {{"version", r.version}, {"full", package_json(r.full)}, {"partials", partials}});
  }
  json j = {{"channel", feed.channel}, {"created", feed.created}, {"releases", releases}};
  return j.dump(2) + "\n";
}

int sha256_hex(int fd, std::string* hex, int* detail) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  int rc = read_whole_at(
      fd,
      [](void* context, const unsigned char* data, size_t size) {
        crypto_hash_sha256_update(static_cast<crypto_hash_sha256_state*>(context), data, size);
      },
      &state, detail);
  if (rc != OK) return rc;
  unsigned char digest[kSha256Size];
  crypto_hash_sha256_final(&state, digest);
  char text[2 * kSha256Size + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  *hex = text;
  return OK;
}
