// What a step of the client reports: an update_client_result code and the
// message that goes with it.
#pragma once

#include <string>

#include "client/update_client.h"

struct ClientResult {
  int code = UPDATE_CLIENT_OK;
  std::string message;
  bool ok() const { return code == UPDATE_CLIENT_OK; }
};

inline ClientResult client_failure(int code, const std::string& message) { return {code, message}; }
