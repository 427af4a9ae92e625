// Progress UI set-up. The window itself is not built yet: OpenProgressUI
// returns at once and the run goes on without one.
#include "ui/progress_ui.h"

#include <gtk/gtk.h>

namespace {
const char* program_path = nullptr;
int ui_available = 0;
}  // namespace

int SetupProgressUI(int* argc, char*** argv) {
  program_path = (*argv)[0];
  ui_available = gtk_init_check(argc, argv);
  return 0;
}

int OpenProgressUI() {
  (void)program_path;
  return ui_available ? 0 : -1;
}
