// Progress figures published by the worker for the progress window.
// One writer (the worker) and one reader (the main thread) each; the values
// are independent, so relaxed atomics are enough and no lock is taken.
#pragma once

#include <atomic>

extern std::atomic<float> progress_percent;  // 0 to 100
extern std::atomic<int> quit_requested;      // goes from 0 to 1 once

// Stores the percentage; never blocks.
void SetProgressPercent(float percent);
// Asks the main thread's UI to end; the run's very last step.
void QuitProgressUI();
