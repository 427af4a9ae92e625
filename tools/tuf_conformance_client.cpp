// tuf-conformance-client: the update client's TUF workflow behind the
// command line that TUF's conformance suite drives (init, refresh,
// download). Exit 0 on success, 1 on any failure, 2 for a wrong call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/durable_file.h"
#include "base/fd.h"
#include "base/status.h"
#include "base/version.h"
#include "client/http_get.h"
#include "client/tuf_client.h"

namespace {

const char kUsage[] =
    "usage: tuf-conformance-client --metadata-dir DIR init TRUSTED_ROOT\n"
    "       tuf-conformance-client --metadata-dir DIR --metadata-url URL refresh\n"
    "       tuf-conformance-client --metadata-dir DIR --metadata-url URL --target-name PATH...\n"
    "                              --target-base-url URL --target-dir DIR download\n";

constexpr long kDeadlineSeconds = 60;
constexpr size_t kMaxRootFile = 512 << 10;

struct Options {
  std::string metadata_dir, metadata_url, target_base_url, target_dir, command, root;
  std::vector<std::string> targets;
};

int fail(const ClientResult& r) {
  fprintf(stderr, "tuf-conformance-client: %s\n", r.message.c_str());
  return 1;
}

bool read_file(const std::string& path, std::string* bytes) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.ok() || fstat(fd.fd, &st) != 0 || static_cast<size_t>(st.st_size) > kMaxRootFile) return false;
  bytes->resize(static_cast<size_t>(st.st_size));
  return pread(fd.fd, &(*bytes)[0], bytes->size(), 0) == static_cast<ssize_t>(bytes->size());
}

// One target into the target directory, named after its encoded path; a
// file already there with the listed length and hashes is kept as it is.
ClientResult download_target(TufClient* c, const Options& o, const std::string& path) {
  TargetFile target;
  ClientResult r = tuf_find_target(c, path, &target);
  if (!r.ok()) return r;
  std::string file = o.target_dir + "/" + percent_encode(path, false);
  UniqueFd cached(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (cached.ok() && tuf_check_target(cached.fd, target).ok()) return {};
  std::string temp = file + ".part";
  UniqueFd fd(create_fresh_file(temp.c_str(), O_RDWR, 0644));
  if (!fd.ok()) return client_failure(UPDATE_CLIENT_ERR_LOCAL, temp + ": " + strerror(errno));
  TufClient copy = *c;
  copy.targets_url = o.target_base_url;
  HttpOptions options;
  options.deadline_seconds = kDeadlineSeconds;
  HttpResult h;
  int rc = http_get(tuf_target_url(copy, path, target), fd.fd, 0, target.length, options, &h);
  r = rc == OK ? tuf_check_target(fd.fd, target)
               : client_failure(UPDATE_CLIENT_ERR_NETWORK, h.error);
  if (r.ok() && (fd.close_checked() != 0 || rename(temp.c_str(), file.c_str()) != 0))
    r = client_failure(UPDATE_CLIENT_ERR_LOCAL, file + ": " + strerror(errno));
  if (!r.ok()) unlink(temp.c_str());
  return r;
}

int run(const Options& o) {
  if (o.command == "init") {
    std::string root;
    if (!read_file(o.root, &root)) return fail(client_failure(1, o.root + ": cannot read it"));
    ClientResult r = tuf_init(o.metadata_dir, root);
    return r.ok() ? 0 : fail(r);
  }
  TufClient c;
  c.metadata_dir = o.metadata_dir;
  c.metadata_url = o.metadata_url;
  c.now = static_cast<int64_t>(time(nullptr));
  c.deadline_seconds = kDeadlineSeconds;
  ClientResult r = tuf_refresh(&c);
  if (!r.ok()) return fail(r);
  if (o.command == "refresh") return 0;
  for (const std::string& path : o.targets) {
    r = download_target(&c, o, path);
    if (!r.ok()) return fail(r);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-V" || arg == "--version") {
      printf("tuf-conformance-client %s\n", kUpdaterVersion);
      return 0;
    }
    bool has_value = i + 1 < argc;
    if (arg == "--metadata-dir" && has_value) o.metadata_dir = argv[++i];
    else if (arg == "--metadata-url" && has_value) o.metadata_url = argv[++i];
    else if (arg == "--target-name" && has_value) o.targets.push_back(argv[++i]);
    else if (arg == "--target-base-url" && has_value) o.target_base_url = argv[++i];
    else if (arg == "--target-dir" && has_value) o.target_dir = argv[++i];
    else if (o.command.empty() && (arg == "init" || arg == "refresh" || arg == "download")) o.command = arg;
    else if (o.command == "init" && o.root.empty()) o.root = arg;
    else {
      fputs(kUsage, stderr);
      return 2;
    }
  }
  bool complete = !o.metadata_dir.empty() &&
                  (o.command == "init" ? !o.root.empty()
                   : o.command == "refresh"
                       ? !o.metadata_url.empty()
                       : o.command == "download" && !o.metadata_url.empty() && !o.targets.empty() &&
                             !o.target_base_url.empty() && !o.target_dir.empty());
  if (!complete) {
    fputs(kUsage, stderr);
    return 2;
  }
  return run(o);
}
