// Replays fuzz corpora without libFuzzer: every file named on the command
// line, or found in a directory named there, goes once through the target.
// Built with the ordinary compilers, so the test suite replays the corpora
// under the plain and the sanitizer builds.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replay(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fprintf(stderr, "cannot stat %s\n", path.c_str());
    return 1;
  }
  if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return 1;
    int failed = 0;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      failed |= replay(path + "/" + e->d_name);
    }
    closedir(d);
    return failed;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; i++) failed |= replay(argv[i]);
  return failed;
}
