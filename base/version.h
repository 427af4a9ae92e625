// The version of the updater and its tools, which every program prints for
// -V/--version.
#pragma once

constexpr const char kUpdaterVersion[] = "2.0.0";
