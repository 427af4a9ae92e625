// Status codes returned by every operation that can fail; 0 is success.
// The first non-zero code ends a run and is written to update.status, so the
// numbers are part of the program's interface and never change.
#pragma once

enum StatusCode {
  OK = 0,
  ERR_NO_MEMORY = 1,     // an allocation failed
  ERR_CRC_MISMATCH = 4,  // the file to be patched has the wrong CRC
  ERR_SYNTAX = 5,        // malformed manifest line or UI strings file
  ERR_READ = 6,          // a file, entry or package cannot be opened or read
  ERR_WRITE = 7,         // a file cannot be created, written or removed
  ERR_BAD_DATA = 8,      // data of the wrong size or form
  ERR_DOWNGRADE = 9,     // the package brings an older release than the installed one
};

// A short message for `status`, for a tool's error output ("cannot read").
const char* status_text(int status);
