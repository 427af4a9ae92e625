// Which release an installation holds: the marker file ".update-release" in
// the installation directory, one line with the version, written by every
// successful run of a package that names its release. The updater refuses a
// package of an older release than the marker's (a downgrade through the
// update directory), unless the package's signed statement names the
// marker's release as the withdrawn one it replaces.
#pragma once

#include <string>

// The release a package names in its verified signature: empty `release`
// when it names none (signed before releases were named) or was not checked.
struct PackageRelease {
  std::string release, replaces;
};

// ".update-release", relative to the installation (the working directory).
extern const char kInstalledReleaseFile[];

// OK, or ERR_DOWNGRADE (logged) when an installation that knows its release
// is given a package that names none, or an older release that does not
// replace exactly the installed one.
int check_installed_release(const PackageRelease& package);

// After a successful run: writes `package`'s release into the marker
// (write_file_atomically: durable before the run reports its outcome), or
// removes the marker when the package named no release, since what is
// installed is then unknown. A failure is logged and the marker removed; the
// run's outcome stands.
void record_installed_release(const PackageRelease& package);
