/* The update client: keeps the application's view of the vendor's TUF
 * repository up to date, chooses the release to offer, downloads and verifies
 * its package into the update directory, starts the updater on it, and tells
 * how the last update went. Plain C, for applications in any language; link
 * with `pkg-config --libs update-client`.
 *
 * One handle holds the settings; it is not shared between threads at once.
 * Calls return an update_client_result code; update_client_message() gives a
 * one-line description of the last call's outcome. Strings passed in are
 * copied; strings handed out stay valid until the next call on the handle. */
#ifndef UPDATE_CLIENT_H
#define UPDATE_CLIENT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UPDATE_CLIENT_API __attribute__((visibility("default")))

enum update_client_result {
  UPDATE_CLIENT_OK = 0,
  UPDATE_CLIENT_ERR_USAGE = 1,     /* a setting is missing or malformed */
  UPDATE_CLIENT_ERR_NETWORK = 2,   /* the server cannot be reached, fails, breaks off or is too slow */
  UPDATE_CLIENT_ERR_REFUSED = 3,   /* metadata or a package does not verify, is older or expired */
  UPDATE_CLIENT_ERR_LOCAL = 4,     /* the update directory cannot be read or written */
  UPDATE_CLIENT_ERR_CANCELLED = 5, /* the progress callback asked to stop */
  UPDATE_CLIENT_ERR_NO_MEMORY = 6
};

typedef struct update_client update_client;

/* What check and fetch found. Owned by the handle; fields are only ever
 * added at the end. */
struct update_client_offer {
  int available;           /* 1 when a release is offered to this installation */
  const char* version;     /* that release ("" when none) */
  int partial;             /* 1: a partial package from the current release; 0: the full one */
  long long size;          /* bytes of that package */
  long long downloaded;    /* fetch only: bytes received this time (less after a resume) */
  int critical;            /* 1: the release is marked critical */
  int replacement;         /* 1: an older release offered in place of the withdrawn current one */
  const char* notes;       /* the release notes ("" when none) */
  const char* withheld;    /* why a newer release is not offered ("" when none) */
  int staged;              /* fetch only: 1 when update.zav is the offered package, verified */
};

/* Called during a download with the bytes so far and the package's size;
 * a non-zero return cancels the download (UPDATE_CLIENT_ERR_CANCELLED; what
 * came so far is kept, to be resumed). */
typedef int (*update_client_progress)(long long done, long long total, void* arg);

/* A new handle with the defaults, or NULL when out of memory. */
UPDATE_CLIENT_API update_client* update_client_new(void);
/* Frees the handle and everything it handed out. NULL is allowed. */
UPDATE_CLIENT_API void update_client_free(update_client* client);

/* The repository's metadata directory, e.g. "https://example.com/app/metadata/"
 * (http or https; a query is kept for every file). Required. */
UPDATE_CLIENT_API int update_client_set_metadata_url(update_client* client, const char* url);
/* The repository's targets directory; by default "../targets/" beside the
 * metadata directory. */
UPDATE_CLIENT_API int update_client_set_targets_url(update_client* client, const char* url);
/* The channel followed ("stable" by default). */
UPDATE_CLIENT_API int update_client_set_channel(update_client* client, const char* channel);
/* The root metadata file shipped with the application, trusted as it is
 * until the repository's signed chain of roots replaces it. Required. */
UPDATE_CLIENT_API int update_client_set_trusted_root(update_client* client, const char* path);
/* The update directory: the package goes there, and the trusted metadata
 * and the installation id beside it in its "metadata" folder. Required. */
UPDATE_CLIENT_API int update_client_set_update_dir(update_client* client, const char* dir);
/* The release installed now, dotted numbers ("1.10.0"). Required. */
UPDATE_CLIENT_API int update_client_set_current_version(update_client* client, const char* version);
/* The most seconds one download may take, connection included (600 by
 * default; each metadata file gets at most 60 of them). */
UPDATE_CLIENT_API int update_client_set_deadline(update_client* client, long seconds);
/* The progress callback (NULL: none) and its argument. */
UPDATE_CLIENT_API int update_client_set_progress(update_client* client,
                                                 update_client_progress progress, void* arg);
/* 1: a check that the user asked for; the release's rollout schedule is not
 * waited for (a halted or withdrawn release is still not offered). */
UPDATE_CLIENT_API int update_client_set_manual(update_client* client, int manual);
/* The updater's public key file: when set, fetch also checks the package's
 * signature as the updater will, before it stages anything. */
UPDATE_CLIENT_API int update_client_set_public_key(update_client* client, const char* path);
/* The time (Unix seconds) taken as the start of each check, for every expiry
 * and rollout decision; 0 (the default) is the system clock at each call. */
UPDATE_CLIENT_API int update_client_set_time(update_client* client, long long unix_seconds);
/* An installation id of the application's own instead of the random one the
 * client keeps (it places the installation in rollouts). */
UPDATE_CLIENT_API int update_client_set_installation_id(update_client* client, const char* id);

/* Brings the trusted metadata up to date and tells what fetch would
 * download, without downloading it. */
UPDATE_CLIENT_API int update_client_check(update_client* client);
/* As check, then downloads the partial package from the current release or
 * the full one (also after a failed update run), resuming an interrupted
 * download, checks its length and hashes against the trusted metadata, and
 * only then moves it into the update directory as update.zav with
 * update.zav.sig. Two fetches into one update directory take turns. */
UPDATE_CLIENT_API int update_client_fetch(update_client* client);
/* What the last check or fetch found (never NULL). */
UPDATE_CLIENT_API const struct update_client_offer* update_client_get_offer(const update_client* client);
/* The last call's one-line message (never NULL). */
UPDATE_CLIENT_API const char* update_client_message(const update_client* client);

/* Starts the updater at `updater_path` (NULL: "updater" beside the running
 * program) on the update directory, detached, in the current directory (the
 * installation), waiting for process `parent_pid` (0: the calling process),
 * and returns without waiting for it. `relaunch` (NULL or NULL-terminated:
 * working directory, program, its arguments) is what the updater starts when
 * it is done. No descriptor of the caller but standard input, output and
 * error (as /dev/null) reaches the updater or the relaunched program. */
UPDATE_CLIENT_API int update_client_apply(update_client* client, const char* updater_path,
                                          long parent_pid, const char* const* relaunch);

/* The last line that the updater wrote to update.status ("succeeded" or
 * "failed: N") into update_client_message(). UPDATE_CLIENT_ERR_LOCAL when
 * there is none. */
UPDATE_CLIENT_API int update_client_status(update_client* client);

/* A short text for a result code (never NULL). */
UPDATE_CLIENT_API const char* update_client_strerror(int code);
/* The library's version, "2.0.0". */
UPDATE_CLIENT_API const char* update_client_version(void);

#ifdef __cplusplus
}
#endif

#endif
