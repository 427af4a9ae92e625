// The trusted metadata directory's files: read without following a link or
// waiting on a pipe, written atomically and durably.
#pragma once

#include <string>

#include "client/client_result.h"

// Reads "<dir>/<name>" (at most `limit` bytes). False when it does not exist
// or cannot be read, or is larger.
bool read_trusted_file(const std::string& dir, const std::string& name, size_t limit,
                       std::string* bytes);

// Reads the file at `path` (links followed) when it has at most `limit` bytes.
bool read_limited_file(const std::string& path, size_t limit, std::string* bytes);

// Replaces "<dir>/<name>" with `bytes` (write_file_atomically). OK or LOCAL.
ClientResult write_trusted_file(const std::string& dir, const std::string& name,
                                const std::string& bytes);

// Removes "<dir>/<name>" when it is there.
void remove_trusted_file(const std::string& dir, const std::string& name);

// Makes the directory `dir` (and its parents) when missing. OK or LOCAL.
ClientResult make_metadata_dir(const std::string& dir);
