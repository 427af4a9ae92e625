// The handle's life, its setters, and the texts of the result codes.
#include <new>

#include "archive/release_version.h"
#include "base/version.h"
#include "client/client_handle.h"

namespace {

int set_string(update_client* c, std::string* field, const char* value, bool required) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  if (value == nullptr || (required && value[0] == '\0'))
    return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "a setting must not be empty"), "");
  *field = value;
  return report(c, {}, "");
}

}  // namespace

int report(update_client* c, const ClientResult& r, const std::string& success) {
  c->message = r.ok() ? success : r.message;
  return r.code;
}

void clear_offer(update_client* c) {
  c->offer = update_client_offer{};
  c->offer_version.clear();
  c->offer_notes.clear();
  c->offer_withheld.clear();
  c->offer.version = c->offer_version.c_str();
  c->offer.notes = c->offer_notes.c_str();
  c->offer.withheld = c->offer_withheld.c_str();
}

update_client* update_client_new(void) {
  update_client* c = new (std::nothrow) update_client;
  if (c != nullptr) clear_offer(c);
  return c;
}

void update_client_free(update_client* c) { delete c; }

int update_client_set_metadata_url(update_client* c, const char* url) {
  return set_string(c, &c->metadata_url, url, true);
}
int update_client_set_targets_url(update_client* c, const char* url) {
  return set_string(c, &c->targets_url, url, false);
}
int update_client_set_channel(update_client* c, const char* channel) {
  if (c != nullptr && channel != nullptr && !valid_channel(channel))
    return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, std::string("no channel is named ") + channel), "");
  return set_string(c, &c->channel, channel, true);
}
int update_client_set_trusted_root(update_client* c, const char* path) {
  return set_string(c, &c->trusted_root, path, true);
}
int update_client_set_update_dir(update_client* c, const char* dir) {
  return set_string(c, &c->update_dir, dir, true);
}
int update_client_set_current_version(update_client* c, const char* version) {
  if (c != nullptr && version != nullptr && !valid_version(version))
    return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "the current version must be dotted numbers, as 1.10.0"), "");
  return set_string(c, &c->current_version, version, true);
}
int update_client_set_public_key(update_client* c, const char* path) {
  return set_string(c, &c->public_key, path, false);
}
int update_client_set_installation_id(update_client* c, const char* id) {
  return set_string(c, &c->installation_id, id, false);
}
int update_client_set_deadline(update_client* c, long seconds) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  if (seconds <= 0) return report(c, client_failure(UPDATE_CLIENT_ERR_USAGE, "the deadline must be positive"), "");
  c->deadline_seconds = seconds;
  return report(c, {}, "");
}
int update_client_set_progress(update_client* c, update_client_progress progress, void* arg) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  c->progress = progress;
  c->progress_arg = arg;
  return report(c, {}, "");
}
int update_client_set_manual(update_client* c, int manual) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  c->manual = manual != 0;
  return report(c, {}, "");
}
int update_client_set_time(update_client* c, long long unix_seconds) {
  if (c == nullptr) return UPDATE_CLIENT_ERR_USAGE;
  c->time = unix_seconds;
  return report(c, {}, "");
}

const struct update_client_offer* update_client_get_offer(const update_client* c) {
  static const update_client_offer empty = {0, "", 0, 0, 0, 0, 0, "", "", 0};
  return c != nullptr ? &c->offer : &empty;
}

const char* update_client_message(const update_client* c) { return c != nullptr ? c->message.c_str() : ""; }

const char* update_client_strerror(int code) {
  switch (code) {
    case UPDATE_CLIENT_OK: return "success";
    case UPDATE_CLIENT_ERR_USAGE: return "a setting is missing or malformed";
    case UPDATE_CLIENT_ERR_NETWORK: return "the server cannot be reached, fails or is too slow";
    case UPDATE_CLIENT_ERR_REFUSED: return "refused: does not verify, is older or has expired";
    case UPDATE_CLIENT_ERR_LOCAL: return "the update directory cannot be read or written";
    case UPDATE_CLIENT_ERR_CANCELLED: return "cancelled";
    case UPDATE_CLIENT_ERR_NO_MEMORY: return "out of memory";
    default: return "unknown result code";
  }
}

const char* update_client_version(void) { return kUpdaterVersion; }
