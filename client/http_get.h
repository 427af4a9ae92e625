// HTTP and HTTPS downloads with libcurl into an open file: bounded in size,
// resumable with a range request, with redirects and stalls bounded.
#pragma once

#include <cstdint>
#include <string>

#include "client/update_client.h"

struct HttpProgress {
  update_client_progress callback = nullptr;  // may be null
  void* arg = nullptr;
  int64_t total = 0;  // the size the caller expects, for the callback
};

// Downloads `url` into `fd` (the caller's), starting at byte `offset` of the
// file with a range request when it is not 0; a server that answers with the
// whole body instead makes the file start again at 0. Never lets the file
// grow past `limit` bytes. *size = the file's length afterwards, *received =
// the body bytes written this time.
// OK; ERR_READ for a network or server failure; ERR_WRITE when the file
// cannot be written; ERR_BAD_DATA when the body would pass `limit`. *error
// says what went wrong, naming the URL.
int http_get(const std::string& url, int fd, int64_t offset, int64_t limit,
             const HttpProgress& progress, int64_t* size, int64_t* received, std::string* error);

// `relative` resolved against `base` as a browser would ("a/b.zav" beside the
// feed, or an absolute URL as it is); empty when either is malformed.
std::string resolve_url(const std::string& base, const std::string& relative);
