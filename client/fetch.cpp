// check and fetch: the trusted metadata brought up to date, the choice of
// package, and a download that appears in the update directory only once it
// is verified.
//
// Files of the client in the update directory, beside the updater's own:
//   metadata/                     the trusted metadata and installation-id
//   update.client.lock            held by the check or fetch at work
//   update.zav.<digest>.part      a download under way, kept to be resumed
//   update.zav.sig.new            the signature, just before it is moved into place
//   update.staged                 the release and target last staged
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sys/mman.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "archive/release_statement.h"
#include "base/digest.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/status.h"
#include "client/client_handle.h"
#include "client/http_get.h"
#include "client/metadata_store.h"
#include "client/offer.h"
#include "client/tuf_client.h"
#include "client/update_status.h"

namespace {

const char kPackage[] = "update.zav";
// fetch_package's code for a package staged whose record could not be written.
constexpr int kStagedUnrecorded = -1;
constexpr size_t kMaxNotesSize = 64 << 10;

ClientResult local_failure(const std::string& what) {
  return client_failure(UPDATE_CLIENT_ERR_LOCAL, what + ": " + strerror(errno));
}

ClientResult check_settings(const update_client* c) {
  struct stat st;
  if (c->metadata_url.empty() || c->trusted_root.empty() || c->update_dir.empty() ||
      c->current_version.empty())
    return client_failure(UPDATE_CLIENT_ERR_USAGE,
                          "the metadata URL, trusted root, update directory and current version are needed");
  if (stat(c->update_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return client_failure(UPDATE_CLIENT_ERR_USAGE, c->update_dir + ": the update directory does not exist");
  return {};
}

// Waits for any other check or fetch on the same update directory.
ClientResult lock_update_dir(const std::string& dir, UniqueFd* lock) {
  std::string path = dir + "/update.client.lock";
  lock->reset(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!lock->ok() && errno == ELOOP) {
    unlink(path.c_str());
    lock->reset(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  }
  int rc = -1;
  while (lock->ok() && (rc = flock(lock->fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  return lock->ok() && rc == 0 ? ClientResult{} : local_failure("cannot lock " + path);
}

// The installation's random id, made once and kept with the trusted metadata.
ClientResult installation_id(const std::string& metadata_dir, std::string* id) {
  if (read_trusted_file(metadata_dir, "installation-id", 256, id) && id->size() > 16) {
    while (!id->empty() && id->back() == '\n') id->pop_back();
    return {};
  }
  unsigned char bytes[16];
  if (sodium_init() < 0) return client_failure(UPDATE_CLIENT_ERR_NO_MEMORY, "libsodium cannot start");
  randombytes_buf(bytes, sizeof bytes);
  *id = hex_text(bytes, sizeof bytes);
  return write_trusted_file(metadata_dir, "installation-id", *id + "\n");
}

// Opens the part file of a download for reading and writing, resuming only a
// file of its own: a link, a second name or another kind of file at the name
// makes way for a new file.
ClientResult open_part(const std::string& part, UniqueFd* fd) {
  fd->reset(open(part.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  if (!fd->ok() || fstat(fd->fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    fd->reset(create_fresh_file(part.c_str(), O_RDWR, 0644));
    if (!fd->ok()) return local_failure("cannot write " + part);
  }
  return {};
}

// Brings the part file to the target's length, resuming what an earlier fetch
// left, and checks it; one fresh download follows when a resumed file does
// not match.
ClientResult download(update_client* c, const std::string& url, const TargetFile& target, int fd) {
  HttpOptions options;
  options.callback = c->progress;
  options.arg = c->progress_arg;
  options.total = target.length;
  options.deadline_seconds = c->deadline_seconds;
  for (int attempt = 0;; attempt++) {
    struct stat st;
    if (fstat(fd, &st) != 0) return local_failure("cannot read the download");
    int64_t have = st.st_size;
    if (have > target.length && ftruncate(fd, have = 0) != 0) return local_failure("cannot write the download");
    if (have < target.length) {
      HttpResult r;
      int rc = http_get(url, fd, have, target.length, options, &r);
      c->offer.downloaded += r.received;
      if (r.cancelled) return client_failure(UPDATE_CLIENT_ERR_CANCELLED, r.error);
      if (rc != OK)
        return client_failure(rc == ERR_READ ? UPDATE_CLIENT_ERR_NETWORK
                              : rc == ERR_BAD_DATA ? UPDATE_CLIENT_ERR_REFUSED
                                                   : UPDATE_CLIENT_ERR_LOCAL,
                              r.error);
    }
    ClientResult r = tuf_check_target(fd, target);
    if (r.ok() || attempt > 0 || have == 0) return r;
    if (ftruncate(fd, 0) != 0) return local_failure("cannot write the download");
  }
}

// The package's signature as the updater will check it, when the
// application gave its key file.
ClientResult check_signature(const update_client* c, int fd, const std::string& signature) {
  if (c->public_key.empty()) return {};
  std::vector<PublicKey> keys;
  SignatureFile file;
  std::string error;
  int detail = 0, key = -1;
  int rc = load_public_keys(c->public_key.c_str(), &keys, &detail);
  if (rc != OK) return client_failure(UPDATE_CLIENT_ERR_USAGE, key_file_problem(c->public_key.c_str(), rc, detail));
  if (parse_signature_file(signature, &file, &error) != OK ||
      verify_signature_file(fd, file, keys, &key, &detail) != OK)
    return client_failure(UPDATE_CLIENT_ERR_REFUSED, "bad signature: no key in " + c->public_key + " accepts the package");
  return {};
}

// Removes download leftovers of other packages than `keep`.
void remove_other_parts(const std::string& dir, const std::string& keep) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> stale;
  const std::string prefix = std::string(kPackage) + ".", suffix = ".part";
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != keep && name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      stale.push_back(name);
  }
  closedir(d);
  for (const std::string& name : stale) unlink((dir + "/" + name).c_str());
}

// Downloads, verifies and stages the chosen package.
ClientResult fetch_package(update_client* c, const TufClient& tuf, const OfferChoice& choice) {
  const std::string& dir = c->update_dir;
  // Named after the package's digest, so that only a download of the same
  // package is ever resumed.
  std::string part_name = std::string(kPackage) + "." + choice.target.hashes.begin()->second.substr(0, 16) + ".part";
  std::string part = dir + "/" + part_name;
  UniqueFd fd;
  ClientResult r = open_part(part, &fd);
  if (r.ok()) r = download(c, tuf_target_url(tuf, choice.path, choice.target), choice.target, fd.fd);
  if (r.ok()) r = check_signature(c, fd.fd, choice.info.signature);
  if (r.ok() && (fsync(fd.fd) != 0 || fd.close_checked() != 0)) r = local_failure("cannot write " + part);
  fd.reset();
  // A broken or cancelled download keeps what came, to be resumed; anything
  // else that failed is not worth keeping.
  if (!r.ok()) {
    struct stat st;
    if ((r.code != UPDATE_CLIENT_ERR_NETWORK && r.code != UPDATE_CLIENT_ERR_CANCELLED) ||
        stat(part.c_str(), &st) != 0 || st.st_size == 0)
      unlink(part.c_str());
    return r;
  }
  // The signature is written under a name of its own; the package then
  // replaces update.zav, and the signature update.zav.sig. An updater started
  // between the two renames finds the old signature and refuses the package;
  // it checks the signature again on a private copy in any case.
  std::string sig_new = dir + "/update.zav.sig.new";
  if (write_file_atomically(sig_new.c_str(), choice.info.signature.data(), choice.info.signature.size(),
                            0644) != OK)
    return local_failure("cannot write " + sig_new);
  if (rename(part.c_str(), (dir + "/" + kPackage).c_str()) != 0) {
    r = local_failure("cannot move the package into place");
    unlink(sig_new.c_str());
    return r;
  }
  if (rename(sig_new.c_str(), (dir + "/update.zav.sig").c_str()) != 0 || sync_dir(dir.c_str()) != OK)
    return local_failure("cannot move the signature into place");
  c->offer.staged = 1;
  remove_other_parts(dir, part_name);
  // Only a record for people: the package is staged whatever happens to it.
  std::string staged = "release " + choice.info.release + "\ntarget " + choice.path + "\n";
  if (write_file_atomically((dir + "/update.staged").c_str(), staged.data(), staged.size(), 0644) != OK)
    return client_failure(kStagedUnrecorded, std::string("cannot write update.staged: ") + strerror(errno));
  return {};
}

// The release notes: the custom text, or the notes target when there is one.
void load_notes(update_client* c, TufClient* tuf, const OfferChoice& choice) {
  c->offer_notes = choice.info.notes;
  if (choice.info.notes_target.empty()) return;
  TargetFile notes;
  if (!tuf_find_target(tuf, choice.info.notes_target, &notes).ok() ||
      notes.length > static_cast<int64_t>(kMaxNotesSize))
    return;
  UniqueFd fd(memfd_create("notes", MFD_CLOEXEC));
  HttpOptions options;
  options.deadline_seconds = kMetadataDeadlineSeconds;
  HttpResult r;
  std::string text;
  if (fd.ok() && http_get(tuf_target_url(*tuf, choice.info.notes_target, notes), fd.fd, 0, notes.length, options, &r) == OK &&
      tuf_check_target(fd.fd, notes).ok()) {
    text.resize(static_cast<size_t>(notes.length));
    if (pread(fd.fd, &text[0], text.size(), 0) == static_cast<ssize_t>(text.size())) c->offer_notes = text;
  }
}

std::string describe(const update_client* c) {
  const update_client_offer& o = c->offer;
  std::string text = !o.available ? "up to date"
                     : c->offer_version + (o.critical ? " (critical)" : "") + ": " +
                           (o.replacement ? "in place of the withdrawn " + c->current_version + ", full package"
                            : o.partial   ? "partial package from " + c->current_version
                                          : std::string("full package")) +
                           ", " + std::to_string(o.size) + " bytes";
  if (!c->offer_withheld.empty()) text += "\nnot offered: " + c->offer_withheld;
  return text;
}

int run(update_client* c, bool fetch) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  clear_offer(c);
  ClientResult r = check_settings(c);
  if (!r.ok()) return report(c, r, "");
  UniqueFd lock;
  std::string root, metadata_dir = c->update_dir + "/metadata";
  r = lock_update_dir(c->update_dir, &lock);
  if (r.ok() && !read_limited_file(c->trusted_root, 1 << 20, &root))
    r = client_failure(UPDATE_CLIENT_ERR_USAGE, "cannot read the trusted root " + c->trusted_root);
  if (r.ok()) r = tuf_init(metadata_dir, root);
  TufClient tuf;
  tuf.metadata_dir = metadata_dir;
  tuf.metadata_url = c->metadata_url;
  tuf.targets_url = !c->targets_url.empty() ? c->targets_url : join_url(c->metadata_url, "../targets/");
  tuf.now = c->time != 0 ? c->time : static_cast<int64_t>(time(nullptr));
  tuf.deadline_seconds = std::min(c->deadline_seconds, kMetadataDeadlineSeconds);
  if (r.ok()) r = tuf_refresh(&tuf);
  OfferInput in;
  if (r.ok()) r = c->installation_id.empty() ? installation_id(metadata_dir, &in.installation_id) : ClientResult{};
  if (!r.ok()) return report(c, r, "");
  if (!c->installation_id.empty()) in.installation_id = c->installation_id;
  in.channel = c->channel;
  in.current = c->current_version;
  in.now = tuf.now;
  in.manual = c->manual;
  // After a failed run the installation may not be what a partial package
  // expects (a locally changed file, say): the full package fits any.
  std::string status;
  in.full_only = read_update_status(c->update_dir, &status) && status.compare(0, 7, "failed:") == 0;
  OfferChoice choice = choose_offer(tuf.targets, in);
  c->offer_withheld = choice.withheld;
  if (choice.available) {
    c->offer_version = choice.info.release;
    c->offer.available = 1;
    c->offer.partial = choice.partial;
    c->offer.size = choice.target.length;
    c->offer.critical = choice.info.critical;
    c->offer.replacement = choice.replacement;
    load_notes(c, &tuf, choice);
  }
  c->offer.version = c->offer_version.c_str();
  c->offer.notes = c->offer_notes.c_str();
  c->offer.withheld = c->offer_withheld.c_str();
  if (!fetch || !choice.available) return report(c, r, describe(c));
  r = fetch_package(c, tuf, choice);
  std::string done = "fetched " + describe(c) + " (" + std::to_string(c->offer.downloaded) +
                     " downloaded) into " + c->update_dir + "/" + kPackage;
  // Staged, and only a record for people missing: that is a success.
  if (r.code == kStagedUnrecorded) r = client_failure(UPDATE_CLIENT_OK, done + "; but " + r.message);
  return report(c, r, r.message.empty() ? done : r.message);
}

}  // namespace

int update_client_check(update_client* c) { return run(c, false); }
int update_client_fetch(update_client* c) { return run(c, true); }
