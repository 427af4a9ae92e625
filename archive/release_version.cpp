// Versions and channel names.
#include "archive/release_version.h"

#include <cctype>
#include <vector>

namespace {

constexpr size_t kMaxVersionPart = 9;

// Splits a valid version into its numbers, trailing zeros dropped so that
// "1.0" and "1" compare equal.
std::vector<long> version_numbers(const std::string& version) {
  std::vector<long> numbers;
  size_t start = 0;
  while (start <= version.size()) {
    size_t dot = version.find('.', start);
    if (dot == std::string::npos) dot = version.size();
    numbers.push_back(std::stol(version.substr(start, dot - start)));
    start = dot + 1;
  }
  while (!numbers.empty() && numbers.back() == 0) numbers.pop_back();
  return numbers;
}

}  // namespace

bool valid_version(const std::string& version) {
  size_t digits = 0;
  for (size_t i = 0; i <= version.size(); i++) {
    if (i == version.size() || version[i] == '.') {
      if (digits == 0) return false;
      digits = 0;
    } else if (version[i] >= '0' && version[i] <= '9' && digits < kMaxVersionPart) {
      digits++;
    } else {
      return false;
    }
  }
  return true;
}

int compare_versions(const std::string& a, const std::string& b) {
  std::vector<long> x = version_numbers(a), y = version_numbers(b);
  for (size_t i = 0; i < x.size() || i < y.size(); i++) {
    long p = i < x.size() ? x[i] : 0, q = i < y.size() ? y[i] : 0;
    if (p != q) return p < q ? -1 : 1;
  }
  return 0;
}

bool valid_channel(const std::string& channel) {
  if (channel.empty() || channel[0] == '.' || channel.size() > 64) return false;
  for (char c : channel)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  return true;
}
