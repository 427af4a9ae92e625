// The progress window, served by the main thread while the worker runs.
// Every toolkit call of the program is made here, on the main thread; the
// worker only stores progress_percent and quit_requested (base/progress.h).
#pragma once

#include <gtk/gtk.h>

// Records argv[0] (referenced, not copied) and initialises the toolkit, which
// removes its own options (such as --display) from the argument vector.
// Always returns 0.
int SetupProgressUI(int* argc, char*** argv);

// Waits half a second, then shows the window when the toolkit is available,
// the run is at most half done and "<argv[0]>.ini" is valid; returns when the
// worker has asked the UI to quit. -1 when no window could be shown (at once,
// without the wait, when there is no display), else 0.
int OpenProgressUI();

// The 100 ms timer: hides the window and ends the main loop once the quit is
// requested, and sets the bar's fraction. Always TRUE (the timer stays).
gboolean progress_timer_tick(gpointer data);

// "delete_event" handler: refuses every close request (TRUE), so that only
// the end of the run closes the window.
gboolean on_window_delete(GtkWidget* widget, GdkEvent* event, gpointer data);
