// The feed and the signatures: downloaded into memory and checked against
// the vendor's keys with the updater's own signature code.
#include "client/signed_fetch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/http_get.h"
#include "base/status.h"

namespace {

// The channel named by the feed URL's file name, "<channel>.json"; empty when
// the URL does not end in one.
std::string channel_of(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  std::string name = path.substr(path.rfind('/') + 1);
  const std::string suffix = ".json";
  if (name.size() <= suffix.size() || name.compare(name.size() - 5, 5, suffix) != 0) return "";
  name.resize(name.size() - suffix.size());
  return valid_channel(name) ? name : "";
}

}  // namespace

ClientResult client_failure(int code, const std::string& message) { return {code, message}; }

int transfer_result(int rc) {
  if (rc == ERR_READ) return UPDATE_CLIENT_ERR_NETWORK;
  if (rc == ERR_BAD_DATA) return UPDATE_CLIENT_ERR_REFUSED;
  return UPDATE_CLIENT_ERR_LOCAL;
}

ClientResult get_small(const std::string& url, int64_t limit, int* fd_out) {
  int fd = memfd_create("update-client", MFD_CLOEXEC);
  if (fd < 0)
    return client_failure(UPDATE_CLIENT_ERR_LOCAL, std::string("memfd: ") + strerror(errno));
  int64_t size = 0, received = 0;
  std::string error;
  int rc = http_get(url, fd, 0, limit, HttpProgress{}, &size, &received, &error);
  if (rc != OK) {
    close(fd);
    return client_failure(transfer_result(rc), error);
  }
  *fd_out = fd;
  return {};
}

bool read_all(int fd, std::string* text) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  text->resize(static_cast<size_t>(st.st_size));
  return pread(fd, &(*text)[0], text->size(), 0) == static_cast<ssize_t>(text->size());
}

ClientResult verify(int fd, const std::string& sig_url, const std::vector<PublicKey>& keys,
                    const std::string& what, PackageSignature* signature) {
  int sig_fd = -1;
  ClientResult r = get_small(sig_url, kSignatureSize, &sig_fd);
  if (r.code != UPDATE_CLIENT_OK)
    return client_failure(r.code, "cannot get the signature of " + what + ": " + r.message);
  ssize_t n = pread(sig_fd, signature->bytes, sizeof signature->bytes, 0);
  close(sig_fd);
  if (n != static_cast<ssize_t>(kSignatureSize))
    return client_failure(UPDATE_CLIENT_ERR_REFUSED,
                          "malformed signature of " + what + ": " + sig_url);
  int key = -1;
  int detail = 0;
  int rc = verify_package_file(fd, *signature, keys, &key, &detail);
  if (rc == ERR_READ)
    return client_failure(UPDATE_CLIENT_ERR_LOCAL, what + ": " + strerror(detail));
  if (rc != OK)
    return client_failure(UPDATE_CLIENT_ERR_REFUSED, "bad signature: no key accepts " + what);
  return {};
}

ClientResult load_keys(const char* key_file, std::vector<PublicKey>* keys) {
  int detail = 0;
  int rc = load_public_keys(key_file, keys, &detail);
  if (rc == ERR_READ)
    return client_failure(UPDATE_CLIENT_ERR_USAGE, std::string("cannot read key file ") + key_file +
                                                       ": " + strerror(detail));
  if (rc != OK)
    return client_failure(
        UPDATE_CLIENT_ERR_USAGE,
        std::string(detail > 0 ? "malformed key on line " + std::to_string(detail) + " of "
                               : "no key in key file ") +
            key_file);
  return {};
}

ClientResult get_feed(const std::string& url, const std::vector<PublicKey>* keys, Feed* feed) {
  std::string channel = channel_of(url);
  if (channel.empty())
    return client_failure(
        UPDATE_CLIENT_ERR_USAGE,
        url + ": a feed URL names the channel's feed file, as https://host/stable.json");
  int fd = -1;
  ClientResult r = get_small(url, kMaxFeedSize, &fd);
  if (r.code != UPDATE_CLIENT_OK)
    return client_failure(r.code, "cannot get the feed: " + r.message);
  PackageSignature signature;
  if (keys != nullptr) r = verify(fd, url + ".sig", *keys, "the feed " + url, &signature);
  std::string text, error;
  if (r.code == UPDATE_CLIENT_OK && !read_all(fd, &text))
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL, "cannot read the feed back");
  close(fd);
  if (r.code != UPDATE_CLIENT_OK) return r;
  if (parse_feed(text, feed, &error) != OK)
    return client_failure(UPDATE_CLIENT_ERR_REFUSED, "malformed feed " + url + ": " + error);
  if (feed->channel != channel)
    return client_failure(UPDATE_CLIENT_ERR_REFUSED, "the feed " + url + " is of channel " +
                                                         feed->channel + ", not " + channel);
  return {};
}
