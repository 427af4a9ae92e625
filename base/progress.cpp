// Progress figures shared between the worker and the main thread.
#include "base/progress.h"

std::atomic<float> progress_percent{0.0f};
std::atomic<int> quit_requested{0};

void SetProgressPercent(float percent) {
  progress_percent.store(percent, std::memory_order_relaxed);
}

void QuitProgressUI() { quit_requested.store(1, std::memory_order_relaxed); }
