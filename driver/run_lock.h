// One update run at a time per installation: an exclusive advisory lock
// (flock) on the installation directory, held from before the log is opened
// until before the callback program starts.
#pragma once

// Locks the current directory, waiting while another run holds the lock.
// Returns the lock's descriptor (close-on-exec, so it never reaches the
// callback program), or -1 with *error = errno when no lock could be taken.
// *waited tells whether another run held the lock when this one asked.
int run_lock_acquire(bool* waited, int* error);

// Releases the lock taken by run_lock_acquire; -1 is ignored.
void run_lock_release(int fd);
