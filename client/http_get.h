// HTTP and HTTPS downloads with libcurl, into an open file or into memory:
// bounded in size and in time, resumable with a range request, cancellable
// from the progress callback, with redirects and stalls bounded.
#pragma once

#include <cstdint>
#include <string>

#include "client/update_client.h"

struct HttpOptions {
  update_client_progress callback = nullptr;  // may be null; non-zero cancels
  void* arg = nullptr;
  int64_t total = 0;          // the size the caller expects, for the callback
  long deadline_seconds = 0;  // the whole transfer, connection included; 0: none
};

struct HttpResult {
  int64_t size = 0;      // the file's length afterwards
  int64_t received = 0;  // body bytes written this time
  long http_code = 0;    // the server's answer, 0 when there was none
  bool cancelled = false;
  std::string error;     // what went wrong, naming the URL
};

// Downloads `url` into `fd` (the caller's), starting at byte `offset` of the
// file with a range request when it is not 0; a server that answers with the
// whole body instead makes the file start again at 0. Never lets the file
// grow past `limit` bytes. OK; ERR_READ for a network or server failure, a
// passed deadline or a cancel; ERR_WRITE when the file cannot be written;
// ERR_BAD_DATA when the body would pass `limit`.
int http_get(const std::string& url, int fd, int64_t offset, int64_t limit,
             const HttpOptions& options, HttpResult* result);

// As http_get, the whole body into *body (at most `limit` bytes).
int http_get_bytes(const std::string& url, int64_t limit, const HttpOptions& options,
                   std::string* body, HttpResult* result);

// True when the server answered that there is no such file (403, 404, 410).
bool http_not_found(const HttpResult& result);

// The URL of the file `name` (already encoded) in the directory `base`:
// "https://h/m/?t=1" and "timestamp.json" give "https://h/m/timestamp.json?t=1".
// A query is kept for every file, a fragment dropped.
std::string join_url(const std::string& base, const std::string& name);

// `text` with every byte but letters, digits and "-._~" (and '/' when
// `keep_slash`) written as %XX, for a name in a URL or a file name.
std::string percent_encode(const std::string& text, bool keep_slash);
