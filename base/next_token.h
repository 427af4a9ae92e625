// The in-place tokenizer that the manifest reader and every action use.
#pragma once

// Skips leading characters of `delims` at *cursor, then returns the token up to
// the next delimiter, which is overwritten with NUL; *cursor moves past that
// one delimiter, or becomes null when the text ends inside the token. Returns
// null, without a token, when *cursor is null or only delimiters remain (then
// *cursor is left on the terminating NUL).
char* next_token(const char* delims, char** cursor);
