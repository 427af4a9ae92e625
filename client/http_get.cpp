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
// dropped; a slow but moving download of a big package is left alone.
constexpr long kStallSeconds = 30;

struct Transfer {
  CURL* curl;
  int fd;
  int64_t offset;    // where the body starts in the file
  int64_t position;  // where the next byte goes
  int64_t limit;
  bool started = false;
  bool too_big = false;
  int write_errno = 0;
  const HttpProgress* progress;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  Transfer* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (!t->started) {
    t->started = true;
    long code = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &code);
    // A whole body where a range was asked for: start the file again.
    if (t->offset > 0 && code != 206) {
      t->offset = t->position = 0;
      if (ftruncate(t->fd, 0) != 0) {
        t->write_errno = errno;
        return 0;
      }
    }
    if (lseek(t->fd, t->position, SEEK_SET) < 0) {
      t->write_errno = errno;
      return 0;
    }
  }
  if (t->position + static_cast<int64_t>(n) > t->limit) {
    t->too_big = true;
    return 0;
  }
  if (write_all(t->fd, data, n) != OK) {
    t->write_errno = errno != 0 ? errno : ENOSPC;
    return 0;
  }
  t->position += static_cast<int64_t>(n);
  return n;
}

int on_progress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
  Transfer* t = static_cast<Transfer*>(user);
  if (t->progress->callback != nullptr)
    t->progress->callback(t->offset + now, t->progress->total, t->progress->arg);
  return 0;
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

int http_get(const std::string& url, int fd, int64_t offset, int64_t limit,
             const HttpProgress& progress, int64_t* size, int64_t* received, std::string* error) {
  global_init();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    *error = "cannot start a transfer";
    return ERR_NO_MEMORY;
  }
  Transfer t{curl, fd, offset, offset, limit, false, false, 0, &progress};
  char curl_error[CURL_ERROR_SIZE] = "";
  std::string range = std::to_string(offset) + "-";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
  // Refused at the headers when the server announces more than the whole
  // file may hold (a server that ignores the range sends all of it); the
  // exact bound is kept as the body arrives.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, progress.callback != nullptr ? 0L : 1L);
  if (offset > 0) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());

  CURLcode rc = curl_easy_perform(curl);
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  curl_easy_cleanup(curl);
  *size = t.position;
  *received = t.position - t.offset;
  // A body that ended before any byte came still starts the file anew.
  if (rc == CURLE_OK && !t.started && offset > 0 && code != 206) {
    *size = 0;
    if (ftruncate(fd, 0) != 0) t.write_errno = errno;
  }
  if (t.write_errno != 0) {
    *error = std::string("cannot write the download: ") + strerror(t.write_errno);
    return ERR_WRITE;
  }
  if (t.too_big || rc == CURLE_FILESIZE_EXCEEDED) {
    *error = url + ": the server sends more than the " + std::to_string(limit) + " bytes expected";
    return ERR_BAD_DATA;
  }
  if (rc != CURLE_OK) {
    *error = url + ": " + (curl_error[0] != '\0' ? curl_error : curl_easy_strerror(rc));
    return ERR_READ;
  }
  return OK;
}

std::string resolve_url(const std::string& base, const std::string& relative) {
  global_init();
  CURLU* u = curl_url();
  std::string result;
  char* out = nullptr;
  if (u != nullptr && curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_URL, relative.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_URL, &out, 0) == CURLUE_OK)
    result = out;
  curl_free(out);
  curl_url_cleanup(u);
  return result;
}
