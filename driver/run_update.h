// The update run: the body of the worker thread.
#pragma once

#include "driver/action_chain.h"

// Opens <update_dir>/update.zav, applies its manifest, writes
// <update_dir>/update.status and asks the UI to quit. The outcome is reported
// only through the status file, the log and the installed files.
void run_update();

// The three phases over a parsed chain. Returns the first non-zero result of
// Prepare or Execute, else 0; Finish runs whenever Prepare succeeded. Execute
// ends by flushing the installation to disk, and a successful run's status
// file is written (durably) before Finish deletes the backups.
int run_phases(ActionChain* chain);

// Writes "succeeded\n" or "failed: <status>\n" to <update_dir>/update.status
// atomically and durably (whatever stood at the name is replaced); when that
// fails, says so on standard error.
void write_status_file(int status);
