// The message for each status code, for the tools' error output.
#include "base/status.h"

const char* status_text(int status) {
  switch (status) {
    case OK: return "done";
    case ERR_NO_MEMORY: return "out of memory";
    case ERR_CRC_MISMATCH: return "not the version the patch was made for";
    case ERR_SYNTAX: return "malformed input";
    case ERR_READ: return "cannot read";
    case ERR_WRITE: return "cannot write";
    case ERR_BAD_DATA: return "bad data";
    case ERR_DOWNGRADE: return "an older release than the installed one";
    default: return "failed";
  }
}
