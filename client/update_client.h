/* The update client: finds the newest release in a signed feed, downloads
 * and verifies its package into the update directory, starts the updater on
 * it, and reports how the last update went. Plain C, for applications in any
 * language; link with `pkg-config --libs update-client`.
 *
 * Every call returns one of the update_client_result codes and, when a
 * `message` buffer is given, leaves a one-line description of the outcome in
 * it (always NUL-terminated, cut to `message_size`). */
#ifndef UPDATE_CLIENT_H
#define UPDATE_CLIENT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UPDATE_CLIENT_API __attribute__((visibility("default")))

enum update_client_result {
  UPDATE_CLIENT_OK = 0,
  UPDATE_CLIENT_ERR_USAGE = 1,    /* an argument is missing or malformed */
  UPDATE_CLIENT_ERR_NETWORK = 2,  /* the server cannot be reached, fails or breaks off */
  UPDATE_CLIENT_ERR_REFUSED = 3,  /* the feed or a package does not verify, or is stale */
  UPDATE_CLIENT_ERR_LOCAL = 4     /* the update directory cannot be read or written */
};

struct update_client_offer {
  int available;          /* 1 when the feed offers a version newer than the current one */
  char version[64];       /* that version */
  int partial;            /* 1: a partial package from the current version; 0: the full one */
  long long size;         /* bytes of that package */
  long long downloaded;   /* fetch only: bytes received this time (less after a resume) */
};

/* Called during a download with the bytes so far and the package's size. */
typedef void (*update_client_progress)(long long done, long long total, void* arg);

/* Reads the feed at `feed_url` (http or https; its file name is the channel's,
 * "<channel>.json") and fills `offer` with what fetch would download for
 * `current_version`. With `key_file` (may be NULL) the feed's signature is
 * checked against it. OK also when nothing newer is offered. */
UPDATE_CLIENT_API int update_client_check(const char* feed_url, const char* current_version,
                                          const char* key_file, struct update_client_offer* offer,
                                          char* message, size_t message_size);

/* As check, with the feed's signature checked against `key_file` (the
 * updater's public key file) and the feed refused when it is of another
 * channel or older than the last one accepted for `update_dir`; then
 * downloads the partial package from `current_version`, or the full one
 * (also after a failed update run), resuming an interrupted download, checks
 * its size, SHA-256 and signature, and only then moves it into `update_dir`
 * as update.zav with update.zav.sig. On failure update.zav and update.zav.sig
 * are as they were. `progress` may be NULL. */
UPDATE_CLIENT_API int update_client_fetch(const char* feed_url, const char* current_version,
                                          const char* update_dir, const char* key_file,
                                          update_client_progress progress, void* progress_arg,
                                          struct update_client_offer* offer, char* message,
                                          size_t message_size);

/* Starts the updater at `updater_path` (NULL: "updater" beside the running
 * program) on `update_dir`, detached, in the current directory (the
 * installation), waiting for process `parent_pid` (0: the calling process),
 * and returns without waiting for it. `relaunch` (NULL or NULL-terminated:
 * working directory, program, its arguments) is what the updater starts when
 * it is done. The caller should exit soon after. */
UPDATE_CLIENT_API int update_client_apply(const char* update_dir, const char* updater_path,
                                          long parent_pid, const char* const* relaunch,
                                          char* message, size_t message_size);

/* Copies the last line that the updater wrote to update.status ("succeeded"
 * or "failed: N") into `status`. UPDATE_CLIENT_ERR_LOCAL when there is none. */
UPDATE_CLIENT_API int update_client_status(const char* update_dir, char* status,
                                           size_t status_size);

#ifdef __cplusplus
}
#endif

#endif
