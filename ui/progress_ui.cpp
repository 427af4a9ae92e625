// The progress window: a small undecorated dialog with a line of text and a
// bar, shown only when a run is still at most half done after half a second.
#include "ui/progress_ui.h"

#include <unistd.h>

#include <cstdio>

#include "base/progress.h"
#include "base/status.h"
#include "ui/ui_strings.h"

namespace {
const char* program_path = nullptr;
int ui_available = 0;
GtkWidget* progress_window = nullptr;
GtkWidget* progress_bar = nullptr;
}  // namespace

int SetupProgressUI(int* argc, char*** argv) {
  program_path = (*argv)[0];
  ui_available = gtk_init_check(argc, argv);
  return 0;
}

gboolean progress_timer_tick(gpointer) {
  if (quit_requested.load(std::memory_order_relaxed)) {
    gtk_widget_hide(progress_window);
    gtk_main_quit();
  }
  double percent = progress_percent.load(std::memory_order_relaxed);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_bar), percent / 100.0);
  return TRUE;
}

gboolean on_window_delete(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

int OpenProgressUI() {
  if (!ui_available) return -1;
  // Runs that finish, or get past half-way, within half a second never show
  // a window.
  usleep(500000);
  if (quit_requested.load(std::memory_order_relaxed)) return 0;
  if (progress_percent.load(std::memory_order_relaxed) > 50.0f) return 0;

  // argv[0] as invoked: a relative name is taken from the starting directory,
  // which the process has not left yet.
  char path[4096];
  snprintf(path, sizeof path, "%s.ini", program_path);
  ProgressStrings strings;
  if (read_ui_strings(path, &strings) != OK) return -1;

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (window == nullptr) return -1;
  progress_window = window;
  g_signal_connect_data(window, "delete_event", G_CALLBACK(on_window_delete), nullptr, nullptr,
                        static_cast<GConnectFlags>(0));
  gtk_window_set_title(GTK_WINDOW(window), strings.window_title);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER_ALWAYS);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  GtkWidget* box = gtk_vbox_new(TRUE, 6);
  GtkWidget* label = gtk_label_new(strings.info_text);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  progress_bar = gtk_progress_bar_new();
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), progress_bar, TRUE, TRUE, 0);
  // The bar is set up before the timer can first fire: ticks run only inside
  // gtk_main below.
  g_timeout_add(100, progress_timer_tick, nullptr);
  gtk_container_set_border_width(GTK_CONTAINER(window), 10);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);

  gtk_main();
  return 0;
}
