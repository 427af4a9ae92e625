// The progress window's two texts, read from the strings file beside the
// program ("<argv[0]>.ini"). Without a valid file no window is shown.
#pragma once

// Both texts are NUL-terminated; a value holds at most 197 bytes.
struct ProgressStrings {
  char window_title[200];
  char info_text[200];
};

// Reads `path`: lines 1 and 2 are ignored, lines 3 and 4 are "key=value" and
// give window_title and info_text (each line's last character is dropped).
// OK, ERR_READ (cannot open, fewer than four lines) or ERR_SYNTAX (no '=').
// On failure `*out` may be partly written. The file is closed on every path.
int read_ui_strings(const char* path, ProgressStrings* out);
