// The installed-release marker and the downgrade check.
#include "driver/installed_release.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "archive/release_version.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/small_file.h"
#include "base/status.h"

const char kInstalledReleaseFile[] = ".update-release";

namespace {

// The marker's version; empty when there is none or it is not a version
// (an installation made before the marker existed).
std::string installed_release() {
  std::string text;
  if (read_small_file(kInstalledReleaseFile, 64, O_NOFOLLOW, &text) != OK) return "";
  text.erase(text.find_last_not_of("\n") + 1);
  return valid_version(text) ? text : "";
}

}  // namespace

int check_installed_release(const PackageRelease& package) {
  std::string installed = installed_release();
  if (installed.empty()) return OK;
  // A signature that names no release may be any old release's: an
  // installation that knows its own takes only packages that say theirs.
  if (package.release.empty()) {
    log_printf("refused: the package does not say which release it brings; %s is installed\n",
               installed.c_str());
    return ERR_DOWNGRADE;
  }
  if (compare_versions(package.release, installed) >= 0) return OK;
  if (!package.replaces.empty() && compare_versions(package.replaces, installed) == 0) {
    log_printf("release %s replaces the withdrawn release %s\n", package.release.c_str(),
               installed.c_str());
    return OK;
  }
  log_printf("refused: the package brings release %s, older than the installed %s\n",
             package.release.c_str(), installed.c_str());
  return ERR_DOWNGRADE;
}

void record_installed_release(const PackageRelease& package) {
  if (package.release.empty()) {
    if (unlink(kInstalledReleaseFile) == 0) sync_parent_dir(kInstalledReleaseFile);
    return;
  }
  std::string text = package.release + "\n";
  if (write_file_atomically(kInstalledReleaseFile, text.data(), text.size(), 0644) == OK) return;
  log_printf("cannot record the installed release in %s: %d\n", kInstalledReleaseFile, errno);
  unlink(kInstalledReleaseFile);
}
