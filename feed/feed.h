// The release feed: the signed JSON list of a channel's releases that
// make-release writes and update clients read, and the SHA-256 digest by
// which it names each package. Versions are dotted numbers ("1.10.0").
//
//   {"channel": "stable", "created": 1796620000,
//    "releases": [{"version": "2.0",
//                  "full": {"url": "stable/2.0/full.zav", "size": 1234, "sha256": "..."},
//                  "partials": [{"from": "1.0", "url": "stable/2.0/from-1.0.zav",
//                                "size": 321, "sha256": "..."}]}, ...]}
//
// Releases are listed newest first; `created` is the Unix time the feed was
// made, strictly growing from one feed of a channel to the next; package URLs
// are relative to the feed's own URL (absolute http(s) URLs are allowed).
// The feed's signature is the package signature of its bytes, in
// "<feed>.sig".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kSha256Size = 32;
// Packages stay below 2 GiB, so no listed size may reach it.
constexpr int64_t kMaxListedSize = (int64_t{1} << 31) - 1;
// A feed lists a few hundred releases at most; a bigger body is refused
// before it is parsed.
constexpr size_t kMaxFeedSize = 4 << 20;

struct FeedPackage {
  std::string from;  // partials only: the version it updates
  std::string url;
  int64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

struct FeedRelease {
  std::string version;
  FeedPackage full;
  std::vector<FeedPackage> partials;
};

struct Feed {
  std::string channel;
  int64_t created = 0;
  std::vector<FeedRelease> releases;  // newest first
};

// True for one or more decimal numbers joined by single dots, each at most
// nine digits ("1", "1.10.0"); nothing else is a version.
bool valid_version(const std::string& version);
// <0, 0 or >0 as version `a` is older than, the same as or newer than `b`
// (both valid); "1.0" and "1.0.0" are the same version.
int compare_versions(const std::string& a, const std::string& b);
// True for a channel name that is also a safe file name: letters, digits,
// '.', '_' and '-', not starting with '.'.
bool valid_channel(const std::string& channel);

// Parses and checks a feed: every field present with its type, versions
// valid and strictly falling, sizes within kMaxListedSize, digests 64 hex
// digits, URLs without blanks or quotes. OK, or ERR_BAD_DATA with the first
// fault described in *error.
int parse_feed(const std::string& text, Feed* feed, std::string* error);
// The feed as JSON text, indented, with a final newline.
std::string feed_json(const Feed& feed);

// SHA-256 of every byte of the open file `fd`, read with pread from offset 0
// (the descriptor stays the caller's), as 64 lower-case hex digits. OK, or
// ERR_READ with *detail = errno.
int sha256_hex(int fd, std::string* hex, int* detail);
