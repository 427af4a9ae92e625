// The client's small downloads and its checks against the vendor's keys:
// the feed, signatures, and what a call reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "feed/feed.h"
#include "archive/signature.h"
#include "client/update_client.h"

// An update_client_result code and the message that goes with it.
struct ClientResult {
  int code = UPDATE_CLIENT_OK;
  std::string message;
};

ClientResult client_failure(int code, const std::string& message);

// The client's code for a status of http_get.
int transfer_result(int rc);

// Downloads a small body (a feed, a signature) of at most `limit` bytes into
// an anonymous file in memory, so that the bytes checked are the bytes read.
// On success *fd_out is the caller's to close.
ClientResult get_small(const std::string& url, int64_t limit, int* fd_out);

// The whole of the file `fd` from offset 0. False when it cannot be read.
bool read_all(int fd, std::string* text);

// Checks the signature at `sig_url` over the file `fd` against `keys`;
// `what` names the file in messages. The signature checked is left in
// *signature.
ClientResult verify(int fd, const std::string& sig_url, const std::vector<PublicKey>& keys,
                    const std::string& what, PackageSignature* signature);

// Loads the public key file (the updater's format).
ClientResult load_keys(const char* key_file, std::vector<PublicKey>* keys);

// Downloads, verifies (when `keys` is not null) and parses the feed at
// `url`, whose file name "<channel>.json" names the channel it must be of.
ClientResult get_feed(const std::string& url, const std::vector<PublicKey>* keys, Feed* feed);
