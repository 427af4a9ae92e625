// In-place tokenizer over the manifest text.
#include "base/next_token.h"

#include <cstring>

char* next_token(const char* delims, char** cursor) {
  char* p = *cursor;
  if (p == nullptr || *p == '\0') return nullptr;
  p += strspn(p, delims);
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char* token = p;
  p += strcspn(p, delims);
  if (*p == '\0') {
    *cursor = nullptr;
  } else {
    *p = '\0';
    *cursor = p + 1;
  }
  return token;
}
