// The UI strings file read from real files: which lines give the texts, what
// is dropped, and the files that give no window.
#include <gtest/gtest.h>

#include <string>

#include "base/status.h"
#include "tests/support/test_support.h"
#include "ui/ui_strings.h"

using namespace testing_support;

namespace {

struct StringsCase {
  const char* what;
  std::string content;
  int status;
  std::string title;  // compared only when status is OK
  std::string info;
};

TEST(UiStrings, ReadFromRealFiles) {
  const std::string long_line(199, 'x');  // exactly one fgets worth, no LF
  const StringsCase cases[] = {
      {"four lines", "header\nsecond\nt=Updating\ni=Please wait\n", OK, "Updating", "Please wait"},
      {"lines 1 and 2 without '='", "no equals\nnone here\nk=T\nk=I\n", OK, "T", "I"},
      {"empty keys", "a\nb\n=Title\n=Info\n", OK, "Title", "Info"},
      {"empty values", "a\nb\ntitle=\ninfo=\n", OK, "", ""},
      {"value with '='", "a\nb\ntitle=a=b\ninfo==x=\n", OK, "a=b", "=x="},
      {"blanks kept", "a\nb\n t = T \ni= I\n", OK, " T ", " I"},
      {"last line without LF", "a\nb\nt=T\ni=Info", OK, "T", "Inf"},
      {"last line without LF, only '=' dropped", "a\nb\nt=T\ninfo=", ERR_SYNTAX, "", ""},
      {"CRLF keeps the CR", "a\r\nb\r\nt=T\r\ni=I\r\n", OK, "T\r", "I\r"},
      {"199-byte first line shifts the lines", long_line + "\nt=Title\ni=Info\nj=Other\n", OK,
       "Title", "Info"},
      {"198-byte first line does not", std::string(198, 'x') + "\nb\nt=Title\ni=Info\n", OK,
       "Title", "Info"},
      {"lines after the fourth ignored", "a\nb\nt=T\ni=I\nno equals\n\n", OK, "T", "I"},
      {"UTF-8 passes unchanged", "a\nb\nt=Mise \xc3\xa0 jour\ni=\xe2\x80\xa6\n", OK,
       "Mise \xc3\xa0 jour", "\xe2\x80\xa6"},
      {"empty file", "", ERR_READ, "", ""},
      {"three lines", "a\nb\nt=T\n", ERR_READ, "", ""},
      {"title without '='", "a\nb\ntitle\ni=I\n", ERR_SYNTAX, "", ""},
      {"info without '='", "a\nb\nt=T\ninfo\n", ERR_SYNTAX, "", ""},
  };
  TempDir dir;
  for (const StringsCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir / "updater.ini";
    write_file(path, c.content);
    ProgressStrings strings;
    ASSERT_EQ(read_ui_strings(path.c_str(), &strings), c.status);
    if (c.status != OK) continue;
    EXPECT_EQ(std::string(strings.window_title), c.title);
    EXPECT_EQ(std::string(strings.info_text), c.info);
  }
}

TEST(UiStrings, MissingOrUnreadableFileIsAReadError) {
  TempDir dir;
  ProgressStrings strings;
  EXPECT_EQ(read_ui_strings((dir / "absent.ini").c_str(), &strings), ERR_READ);
  EXPECT_EQ(read_ui_strings(dir.path.c_str(), &strings), ERR_READ);  // a directory
}

TEST(UiStrings, LongestValuesFitTheirBuffers) {
  // A line of 199 bytes with its LF is read whole: "k=" and 196 bytes give a
  // title of 196, "=" and 197 bytes the longest value of all.
  TempDir dir;
  std::string value(196, 'v');
  write_file(dir / "u.ini", "a\nb\nk=" + value + "\n=" + value + "w\n");
  ProgressStrings strings;
  ASSERT_EQ(read_ui_strings((dir / "u.ini").c_str(), &strings), OK);
  EXPECT_EQ(std::string(strings.window_title), value);
  EXPECT_EQ(std::string(strings.info_text), value + "w");
}

TEST(UiStrings, BuiltStringsFileSitsBesideTheUpdater) {
  ProgressStrings strings;
  ASSERT_EQ(read_ui_strings((updater_bin() + ".ini").c_str(), &strings), OK);
  EXPECT_EQ(std::string(strings.window_title), "Updating");
  EXPECT_NE(std::string(strings.info_text), "");
}

}  // namespace

namespace {

TEST(UiStrings, InstallPutsTheStringsFileBesideTheUpdater) {
  // updater_bin() is <build>/driver/updater.
  std::string build = updater_bin().substr(0, updater_bin().rfind("/driver/"));
  TempDir prefix;
  RunResult r = run_program({"/bin/sh", "-c", "cmake --install \"$0\" --prefix \"$1\"", build,
                             prefix.path});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(file_mode(prefix / "bin/updater") & 0111, 0111u);
  EXPECT_EQ(read_file(prefix / "bin/updater.ini"), read_file(updater_bin() + ".ini"));
}

}  // namespace
