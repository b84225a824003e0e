// The string functions that turn values into statement text.
#include "db/sql_text.h"

#include <cstring>

std::string Pad(const std::string& s, int32_t len) {
  if (len <= 0 || s.size() >= static_cast<std::size_t>(len)) {
    return s;
  }
  return s + std::string(static_cast<std::size_t>(len) - s.size(), ' ');
}

std::string QuoteString(const std::string& s) {
  return "'" + s + "'";
}

std::string ZarCatStr(const char* p, int32_t len) {
  std::string t;
  if (p != nullptr && len > 0) {
    // memchr looks at no more than len bytes, so a buffer without a NUL is never overrun.
    const void* nul = std::memchr(p, '\0', static_cast<std::size_t>(len));
    std::size_t n = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - p)
                                   : static_cast<std::size_t>(len);
    t.assign(p, n);
  }
  t = Pad(t, len);
  if (t.size() > 255) {
    t.resize(255);
  }
  return t;
}

std::string EscapeString(const std::string& s) {
  // The backslash is escaped as well as the quote: the server reads a backslash inside a
  // quoted value as an escape, so an unescaped one would not be stored as it was read.
  std::string result;
  result.reserve(s.size() + 8);
  for (char c : s) {
    if (c == '\'' || c == '\\') {
      result += '\\';
    }
    result += c;
  }
  return result;
}

namespace db {

std::string QuotedText(const std::string& text) {
  return QuoteString(EscapeString(text));
}

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "`";
  for (char c : name) {
    quoted += c;
    if (c == '`') {
      quoted += '`';
    }
  }
  return quoted + "`";
}

std::string HexDigits(std::string_view bytes, bool lower_case) {
  const char* digits = lower_case ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

std::string HexLiteral(std::string_view bytes) {
  return "X'" + HexDigits(bytes) + "'";
}

}  // namespace db
