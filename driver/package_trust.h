// Opening the update package, checked against the vendor's public keys when
// the installation ships a key file beside the program.
#pragma once

#include "driver/installed_release.h"

// argv[0] as the updater was invoked (not copied); the key file is
// "<program_argv0>.pub". Set once before the worker starts; while it is null
// no key file is looked for.
extern const char* program_argv0;

// The release that the package open_package opened last names in its
// verified signature (empty when none, or when nothing was verified).
extern PackageRelease opened_package_release;

// Opens the package at `package_path` into package_reader. The key file is
// "<program_argv0>.pub", else "<the program's own file>.pub". With no key file
// the package is opened as it stands (logged as not verified; anything but a
// regular file is ERR_READ, never waited for). With one, the package is opened once,
// its signature "<package_path>.sig" is checked over every byte of that open
// file, a package of an older release than the installed one is refused
// (installed_release.h), and only then is the same file handed to the reader. OK; ERR_READ for
// an unreadable key file, package or signature; ERR_BAD_DATA for a key file
// without valid keys, a malformed signature or one that no key accepts;
// ERR_DOWNGRADE for an older release. Every
// signature failure is logged here; no package is open after a failure.
int open_package(const char* package_path);
