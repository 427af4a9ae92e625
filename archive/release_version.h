// Release versions: dotted numbers ("1.10.0"), compared number by number,
// and channel names. Shared by the package signature's statement, the
// release metadata, the updater's downgrade check and the client.
#pragma once

#include <string>

// True for one or more decimal numbers joined by single dots, each at most
// nine digits ("1", "1.10.0"); nothing else is a version.
bool valid_version(const std::string& version);
// <0, 0 or >0 as version `a` is older than, the same as or newer than `b`
// (both valid); "1.0" and "1.0.0" are the same version.
int compare_versions(const std::string& a, const std::string& b);
// True for a channel name that is also a safe file name: letters, digits,
// '.', '_' and '-', not starting with '.', at most 64 bytes.
bool valid_channel(const std::string& channel);
