// libcurl transfers for the update client.
#include "client/http_get.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/fd.h"
#include "base/status.h"

namespace {

constexpr long kMaxRedirects = 5;
constexpr long kConnectSeconds = 20;
// A transfer that moves less than one byte a second for this long is
// dropped, whatever its deadline.
constexpr long kStallSeconds = 30;

struct Transfer {
  CURL* curl;
  int fd;             // or -1: into `body`
  std::string* body;
  int64_t offset;     // where the body starts in the file
  int64_t position;   // where the next byte goes
  int64_t limit;
  const HttpOptions* options;
  bool started = false;
  bool too_big = false;
  bool cancelled = false;
  int write_errno = 0;
};

// The first body bytes: a whole body where a range was asked for starts the
// file again.
bool start_body(Transfer* t) {
  t->started = true;
  long code = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &code);
  if (t->offset > 0 && code != 206) {
    t->offset = t->position = 0;
    if (ftruncate(t->fd, 0) != 0) {
      t->write_errno = errno;
      return false;
    }
  }
  if (t->fd >= 0 && lseek(t->fd, t->position, SEEK_SET) < 0) {
    t->write_errno = errno;
    return false;
  }
  return true;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (!t->started && !start_body(t)) return 0;
  if (t->position + static_cast<int64_t>(n) > t->limit) {
    t->too_big = true;
    return 0;
  }
  if (t->fd < 0) {
    t->body->append(data, n);
  } else if (write_all(t->fd, data, n) != OK) {
    t->write_errno = errno != 0 ? errno : ENOSPC;
    return 0;
  }
  t->position += static_cast<int64_t>(n);
  return n;
}

int on_progress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(user);
  const HttpOptions* o = t->options;
  if (o->callback != nullptr && o->callback(t->offset + now, o->total, o->arg) != 0) {
    t->cancelled = true;
    return 1;
  }
  return 0;
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int transfer(const std::string& url, Transfer* t, HttpResult* result) {
  global_init();
  *result = HttpResult{};
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    result->error = "cannot start a transfer";
    return ERR_NO_MEMORY;
  }
  t->curl = curl;
  char curl_error[CURL_ERROR_SIZE] = "";
  std::string range = std::to_string(t->offset) + "-";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  // The deadline bounds the whole transfer: a server that trickles a few
  // bytes a second never holds a client longer than this.
  if (t->options->deadline_seconds > 0)
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, t->options->deadline_seconds);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
  // Refused at the headers when the server announces more than the whole
  // file may hold; the exact bound is kept as the body arrives.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t->limit));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, t);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, t->options->callback != nullptr ? 0L : 1L);
  if (t->offset > 0) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());

  CURLcode rc = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result->http_code);
  curl_easy_cleanup(curl);
  // A body that ended before any byte came still starts the file anew.
  if (rc == CURLE_OK && !t->started && t->offset > 0 && result->http_code != 206) {
    t->offset = t->position = 0;
    if (ftruncate(t->fd, 0) != 0) t->write_errno = errno;
  }
  result->size = t->position;
  result->received = t->position - t->offset;
  result->cancelled = t->cancelled;
  if (t->write_errno != 0) {
    result->error = std::string("cannot write the download: ") + strerror(t->write_errno);
    return ERR_WRITE;
  }
  if (t->too_big || rc == CURLE_FILESIZE_EXCEEDED) {
    result->error = url + ": the server sends more than the " + std::to_string(t->limit) +
                    " bytes expected";
    return ERR_BAD_DATA;
  }
  if (t->cancelled) {
    result->error = url + ": cancelled";
    return ERR_READ;
  }
  if (rc == CURLE_OPERATION_TIMEDOUT && t->options->deadline_seconds > 0) {
    result->error = url + ": not done within the deadline of " +
                    std::to_string(t->options->deadline_seconds) + " seconds";
    return ERR_READ;
  }
  if (rc != CURLE_OK) {
    result->error = url + ": " + (curl_error[0] != '\0' ? curl_error : curl_easy_strerror(rc));
    return ERR_READ;
  }
  return OK;
}

}  // namespace

int http_get(const std::string& url, int fd, int64_t offset, int64_t limit,
             const HttpOptions& options, HttpResult* result) {
  Transfer t{nullptr, fd, nullptr, offset, offset, limit, &options};
  return transfer(url, &t, result);
}

int http_get_bytes(const std::string& url, int64_t limit, const HttpOptions& options,
                   std::string* body, HttpResult* result) {
  body->clear();
  Transfer t{nullptr, -1, body, 0, 0, limit, &options};
  return transfer(url, &t, result);
}

bool http_not_found(const HttpResult& r) {
  return r.http_code == 403 || r.http_code == 404 || r.http_code == 410;
}

std::string join_url(const std::string& base, const std::string& name) {
  size_t end = base.find_first_of("?#");
  std::string path = base.substr(0, end), query;
  if (end != std::string::npos && base[end] == '?') query = base.substr(end, base.find('#', end) - end);
  if (path.empty() || path.back() != '/') path += '/';
  return path + name + query;
}

std::string percent_encode(const std::string& text, bool keep_slash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}
