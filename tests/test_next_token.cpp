// The manifest tokenizer, on the forms the manifest lines use.
#include <gtest/gtest.h>

#include <string>

#include "base/next_token.h"

TEST(NextToken, SkipsLeadingDelimitersAndConsumesOnlyOne) {
  char text[] = "\"\"bin/app\"  \"x\"";
  char* cursor = text;
  EXPECT_STREQ(next_token("\"", &cursor), "bin/app");
  // Only the one closing quote was consumed: the blanks are the next token.
  EXPECT_STREQ(next_token("\"", &cursor), "  ");
  EXPECT_STREQ(next_token("\"", &cursor), "x");
  // The text ended right after the consumed quote: cursor on the NUL.
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(*cursor, '\0');
  EXPECT_EQ(next_token("\"", &cursor), nullptr);
}

TEST(NextToken, TokenRunningToTheEndClearsTheCursor) {
  char text[] = "remove";
  char* cursor = text;
  EXPECT_STREQ(next_token(" \t", &cursor), "remove");
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(next_token(" \t", &cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);
}

TEST(NextToken, OnlyDelimitersLeavesCursorOnTheNul) {
  char text[] = "\r\n\r\n";
  char* cursor = text;
  EXPECT_EQ(next_token("\r\n", &cursor), nullptr);
  EXPECT_EQ(cursor, text + 4);
  char empty[] = "";
  cursor = empty;
  EXPECT_EQ(next_token("\r\n", &cursor), nullptr);
  EXPECT_EQ(cursor, empty);
}

TEST(NextToken, LinesOfCrlfTextAndEmptyLinesVanish) {
  char text[] = "a\r\n\r\nb\nc";
  char* cursor = text;
  std::string lines;
  while (char* line = next_token("\r\n", &cursor)) lines += std::string(line) + "|";
  EXPECT_EQ(lines, "a|b|c|");
}

TEST(NextToken, KeywordAndQuotedArgumentAfterOneBlank) {
  char line[] = "add-if \"t\" \"my file\" trailing";
  char* cursor = line;
  EXPECT_STREQ(next_token(" \t", &cursor), "add-if");
  EXPECT_STREQ(next_token("\"", &cursor), "t");
  EXPECT_STREQ(next_token("\"", &cursor), " ");
  EXPECT_STREQ(next_token("\"", &cursor), "my file");
  // An empty quoted argument is skipped like any other run of delimiters.
  char empty_arg[] = "\"\"";
  cursor = empty_arg;
  EXPECT_EQ(next_token("\"", &cursor), nullptr);
}
