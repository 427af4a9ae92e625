// check and fetch: the choice of package, and a download that appears in
// the update directory only once it is verified.
//
// Files of the client in the update directory, beside the updater's own:
//   update.feeds                  per channel, the `created` time of the last feed accepted
//   update.zav.<digest>.part      a download under way, kept to be resumed
//   update.zav.sig.new            the signature, just before it is moved into place
//   update.feeds.new              update.feeds, just before it is moved into place
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "feed/feed.h"
#include "archive/signature.h"
#include "base/fd.h"
#include "base/status.h"
#include "client/http_get.h"
#include "client/signed_fetch.h"
#include "client/update_client.h"
#include "client/update_status.h"

namespace {

const char kFeedState[] = "update.feeds";
const char kPackage[] = "update.zav";
const char kSignatureNew[] = "update.zav.sig.new";
const char kSignature[] = "update.zav.sig";

// The package for `current`: the partial from it unless `full_only`, else the
// full one; null when the feed has nothing newer.
const FeedPackage* choose(const Feed& feed, const std::string& current, bool full_only,
                          update_client_offer* offer) {
  *offer = update_client_offer{};
  if (feed.releases.empty() || compare_versions(feed.releases[0].version, current) <= 0)
    return nullptr;
  const FeedRelease& newest = feed.releases[0];
  const FeedPackage* package = &newest.full;
  for (const FeedPackage& p : newest.partials)
    if (!full_only && compare_versions(p.from, current) == 0) package = &p;
  offer->available = 1;
  snprintf(offer->version, sizeof offer->version, "%s", newest.version.c_str());
  offer->partial = package != &newest.full;
  offer->size = package->size;
  return package;
}

std::string describe(const update_client_offer& o, const std::string& current) {
  if (!o.available) return "up to date";
  return std::string(o.version) + ": " +
         (o.partial ? "partial package from " + current : std::string("full package")) + ", " +
         std::to_string(o.size) + " bytes";
}

std::map<std::string, int64_t> read_feed_state(const std::string& dir) {
  std::map<std::string, int64_t> state;
  int fd = open((dir + "/" + kFeedState).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while (fd >= 0 && text.size() < (1 << 16) && (n = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  std::istringstream in(text);
  std::string channel;
  int64_t created;
  while (in >> channel >> created) state[channel] = created;
  return state;
}

// Writes `size` bytes into a file made new at `path` (whatever had the name
// is unlinked first, so nothing is written through a planted link). False,
// with nothing left, when it cannot.
bool write_new_file(const std::string& path, const void* data, size_t size) {
  unlink(path.c_str());
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.ok()) return false;
  bool ok = write_all(fd.fd, data, size) == OK && fsync(fd.fd) == 0;
  ok = fd.close_checked() == 0 && ok;
  if (!ok) unlink(path.c_str());
  return ok;
}

// Records that the feed of `feed` was accepted for `dir`.
bool accept_feed(const std::string& dir, const Feed& feed) {
  std::map<std::string, int64_t> state = read_feed_state(dir);
  state[feed.channel] = feed.created;
  std::string text;
  for (const auto& [channel, created] : state)
    text += channel + " " + std::to_string(created) + "\n";
  std::string temp = dir + "/" + kFeedState + ".new";
  if (!write_new_file(temp, text.data(), text.size())) return false;
  if (rename(temp.c_str(), (dir + "/" + kFeedState).c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

// Removes download leftovers of other packages than `keep`.
void remove_other_parts(const std::string& dir, const std::string& keep) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> stale;
  const std::string prefix = std::string(kPackage) + ".", suffix = ".part";
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != keep && name.size() > prefix.size() + suffix.size() &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      stale.push_back(name);
  }
  closedir(d);
  for (const std::string& name : stale) unlink((dir + "/" + name).c_str());
}

// Brings the part file `fd` to the package's full size, resuming what an
// earlier fetch left, and checks its size and SHA-256; one fresh download
// follows when a resumed file does not match.
ClientResult download(const std::string& url, const FeedPackage& package, int fd,
                      const HttpProgress& progress, int64_t* downloaded) {
  for (int attempt = 0;; attempt++) {
    struct stat st;
    if (fstat(fd, &st) != 0) return client_failure(UPDATE_CLIENT_ERR_LOCAL, strerror(errno));
    int64_t have = st.st_size;
    if (have > package.size) {
      if (ftruncate(fd, 0) != 0) return client_failure(UPDATE_CLIENT_ERR_LOCAL, strerror(errno));
      have = 0;
    }
    int64_t size = have, received = 0;
    std::string error;
    if (have < package.size) {
      int rc = http_get(url, fd, have, package.size, progress, &size, &received, &error);
      *downloaded += received;
      if (rc != OK) return client_failure(transfer_result(rc), error);
    }
    if (size != package.size)
      return client_failure(UPDATE_CLIENT_ERR_NETWORK, url + ": the server sent " +
                                                           std::to_string(size) + " of " +
                                                           std::to_string(package.size) + " bytes");
    std::string digest;
    int detail = 0;
    if (sha256_hex(fd, &digest, &detail) != OK)
      return client_failure(UPDATE_CLIENT_ERR_LOCAL,
                            std::string("cannot read the download: ") + strerror(detail));
    if (digest == package.sha256) return {};
    if (attempt > 0 || have == 0)
      return client_failure(UPDATE_CLIENT_ERR_REFUSED,
                            url + ": SHA-256 is not the one the feed lists");
    if (ftruncate(fd, 0) != 0) return client_failure(UPDATE_CLIENT_ERR_LOCAL, strerror(errno));
  }
}

// Everything of fetch after the feed: download, verification and staging.
ClientResult fetch_package(const std::string& feed_url, const std::string& dir,
                           const FeedPackage& package, const std::vector<PublicKey>& keys,
                           const HttpProgress& progress, int64_t* downloaded) {
  std::string url = resolve_url(feed_url, package.url);
  if (url.empty())
    return client_failure(UPDATE_CLIENT_ERR_REFUSED, "malformed package URL " + package.url);
  // Named after the package's digest, so that only a download of the same
  // package is ever resumed.
  std::string part_name = std::string(kPackage) + "." + package.sha256.substr(0, 16) + ".part";
  std::string part = dir + "/" + part_name;
  UniqueFd fd(open(part.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  // Only a file of its own is resumed: a second name (a hard link planted
  // in the directory) or another kind of file makes way for a new one.
  if (fd.ok() && (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    fd.reset();
    unlink(part.c_str());
    fd.reset(open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  }
  if (!fd.ok() || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return client_failure(UPDATE_CLIENT_ERR_LOCAL, "cannot write " + part + ": " +
                                                       (!fd.ok() ? strerror(errno) : "not a file"));
  PackageSignature signature;
  ClientResult r = download(url, package, fd.fd, progress, downloaded);
  if (r.code == UPDATE_CLIENT_OK)
    r = verify(fd.fd, url + ".sig", keys, "the package " + url, &signature);
  if (r.code == UPDATE_CLIENT_OK && (fsync(fd.fd) != 0 || fd.close_checked() != 0))
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL, "cannot write " + part + ": " + strerror(errno));
  fd.reset();
  // A broken connection keeps what came, to be resumed; anything else that
  // failed is not worth keeping.
  if (r.code != UPDATE_CLIENT_OK) {
    if (r.code != UPDATE_CLIENT_ERR_NETWORK || stat(part.c_str(), &st) != 0 || st.st_size == 0)
      unlink(part.c_str());
    return r;
  }

  // The signature is written under a name of its own; the package then
  // replaces update.zav, and the signature update.zav.sig. An updater started
  // between the two renames finds the old signature and refuses the package.
  // The updater checks the signature again on a private copy, so a package
  // swapped in the directory after this check is refused there too.
  std::string sig_new = dir + "/" + kSignatureNew;
  if (!write_new_file(sig_new, signature.bytes, sizeof signature.bytes)) {
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL, "cannot write " + sig_new + ": " + strerror(errno));
  } else if (rename(part.c_str(), (dir + "/" + kPackage).c_str()) != 0) {
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL,
                       "cannot move the package into place: " + std::string(strerror(errno)));
    unlink(sig_new.c_str());
  } else if (rename(sig_new.c_str(), (dir + "/" + kSignature).c_str()) != 0) {
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL,
                       "cannot move the signature into place: " + std::string(strerror(errno)));
  }
  if (r.code == UPDATE_CLIENT_OK) remove_other_parts(dir, part_name);
  return r;
}

int report(const ClientResult& r, const std::string& success, char* message, size_t size) {
  if (message != nullptr && size > 0)
    snprintf(message, size, "%s", r.code == UPDATE_CLIENT_OK ? success.c_str() : r.message.c_str());
  return r.code;
}

}  // namespace

int update_client_check(const char* feed_url, const char* current_version, const char* key_file,
                        update_client_offer* offer, char* message, size_t message_size) {
  update_client_offer ignored;
  if (offer == nullptr) offer = &ignored;
  *offer = update_client_offer{};
  if (feed_url == nullptr || current_version == nullptr || !valid_version(current_version))
    return report(client_failure(UPDATE_CLIENT_ERR_USAGE,
                                 "the current version must be dotted numbers, "
                                 "as 1.10.0"),
                  "", message, message_size);
  std::vector<PublicKey> keys;
  ClientResult r;
  if (key_file != nullptr) r = load_keys(key_file, &keys);
  Feed feed;
  if (r.code == UPDATE_CLIENT_OK)
    r = get_feed(feed_url, key_file != nullptr ? &keys : nullptr, &feed);
  if (r.code == UPDATE_CLIENT_OK) choose(feed, current_version, false, offer);
  return report(r, describe(*offer, current_version), message, message_size);
}

int update_client_fetch(const char* feed_url, const char* current_version, const char* update_dir,
                        const char* key_file, update_client_progress progress, void* progress_arg,
                        update_client_offer* offer, char* message, size_t message_size) {
  update_client_offer ignored;
  if (offer == nullptr) offer = &ignored;
  *offer = update_client_offer{};
  struct stat st;
  ClientResult r;
  if (feed_url == nullptr || current_version == nullptr || !valid_version(current_version))
    r = client_failure(UPDATE_CLIENT_ERR_USAGE,
                       "the current version must be dotted numbers, as 1.10.0");
  else if (key_file == nullptr)
    r = client_failure(UPDATE_CLIENT_ERR_USAGE, "fetch needs the public key file");
  else if (update_dir == nullptr || stat(update_dir, &st) != 0 || !S_ISDIR(st.st_mode))
    r = client_failure(UPDATE_CLIENT_ERR_USAGE, std::string(update_dir ? update_dir : "(null)") +
                                                    ": the update directory does not exist");
  if (r.code != UPDATE_CLIENT_OK) return report(r, "", message, message_size);
  std::string dir = update_dir;

  std::vector<PublicKey> keys;
  Feed feed;
  r = load_keys(key_file, &keys);
  if (r.code == UPDATE_CLIENT_OK) r = get_feed(feed_url, &keys, &feed);
  if (r.code != UPDATE_CLIENT_OK) return report(r, "", message, message_size);
  auto last = read_feed_state(dir);
  if (last.count(feed.channel) != 0 && feed.created < last[feed.channel])
    return report(
        client_failure(UPDATE_CLIENT_ERR_REFUSED, "the feed " + std::string(feed_url) +
                                                      " (made at " + std::to_string(feed.created) +
                                                      ") is older than the last one "
                                                      "accepted (made at " +
                                                      std::to_string(last[feed.channel]) + ")"),
        "", message, message_size);

  // After a failed run the installation may not be what a partial package
  // expects (a locally changed file, say): the full package fits any.
  std::string status;
  bool failed = read_update_status(dir, &status) && status.compare(0, 7, "failed:") == 0;
  const FeedPackage* package = choose(feed, current_version, failed, offer);
  if (package != nullptr) {
    int64_t downloaded = 0;
    r = fetch_package(feed_url, dir, *package, keys,
                      HttpProgress{progress, progress_arg, package->size}, &downloaded);
    offer->downloaded = downloaded;
  }
  if (r.code == UPDATE_CLIENT_OK && !accept_feed(dir, feed))
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL,
                       dir + "/" + kFeedState + ": cannot write it: " + strerror(errno));
  std::string done = package == nullptr ? "up to date"
                                        : "fetched " + describe(*offer, current_version) + " (" +
                                              std::to_string(offer->downloaded) +
                                              " downloaded) into " + dir + "/" + kPackage;
  return report(r, done, message, message_size);
}
