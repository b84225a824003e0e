// Letter case of ASCII text, as the server and the configuration files compare names.
#pragma once

#include <cstdint>
#include <optional>
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

// `text` without the blanks (space, tab, CR, LF, VT, FF) at either end, whatever the
// process's locale says.
inline std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The number `text` writes in decimal digits and nothing else; nullopt when it is empty,
// holds anything but digits or does not fit in 64 bits.
inline std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace db
