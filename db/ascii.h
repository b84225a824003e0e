// Letter case of ASCII text, as the server and the configuration files compare names.
#pragma once

#include <string>
#include <string_view>

namespace db {

// `c` in lower case when it is an ASCII capital; any other byte unchanged. Unlike
// std::tolower this never depends on the process's locale.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True for an ASCII letter or digit, whatever the process's locale says.
inline bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// `text` with every ASCII capital in lower case.
inline std::string AsciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    c = AsciiLower(c);
  }
  return result;
}

// True when `a` and `b` are equal but for the letter case of ASCII letters.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace db
