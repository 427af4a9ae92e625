// The progress window, served by the main thread while the worker runs.
#pragma once

// Records argv[0] and initialises the toolkit, which removes its own options
// (such as --display) from the argument vector. Always returns 0.
int SetupProgressUI(int* argc, char*** argv);

// Shows the progress window when the run is slow and returns when the worker
// has asked the UI to quit. -1 when no window could be shown, else 0.
int OpenProgressUI();
