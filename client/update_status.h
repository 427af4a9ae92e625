// The updater's status file, as the client reads it.
#pragma once

#include <string>

// The first line of "<update_dir>/update.status" without its line end.
// False when there is no such file or it cannot be read.
bool read_update_status(const std::string& update_dir, std::string* line);
