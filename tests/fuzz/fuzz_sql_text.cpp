// Fuzz target: the statement-text string functions on arbitrary bytes.
//
// Input layout: byte 0 and 1 pick a length argument (-4 .. 316, so the 255-character cut
// and the non-positive lengths are both reached); the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "db/sql_text.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s (%zu bytes: ", what, detail.size());
  for (unsigned char c : detail) {
    std::fprintf(stderr, "%02x", c);
  }
  std::fprintf(stderr, ")\n");
  std::abort();
}

// What the server makes of the text between two single quotes with backslash escapes on.
// nullopt when the literal would end early (a bare quote) or the text ends inside an
// escape: both make the statement malformed.
std::optional<std::string> MysqlUnescape(const std::string& quoted_body) {
  std::string out;
  for (std::size_t i = 0; i < quoted_body.size(); ++i) {
    char c = quoted_body[i];
    if (c == '\'') {
      // A doubled quote is one quote; a single one ends the literal.
      if (i + 1 < quoted_body.size() && quoted_body[i + 1] == '\'') {
        out += '\'';
        ++i;
        continue;
      }
      return std::nullopt;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == quoted_body.size()) {
      return std::nullopt;
    }
    switch (quoted_body[i]) {
      case '0':
        out += '\0';
        break;
      case 'b':
        out += '\b';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'Z':
        out += '\x1a';
        break;
      case '%':  // kept with its backslash, for LIKE patterns
        out += "\\%";
        break;
      case '_':
        out += "\\_";
        break;
      default:
        out += quoted_body[i];
        break;
    }
  }
  return out;
}

void CheckZarCatStr(const uint8_t* data, std::size_t size, int32_t len) {
  if (size == 0) {
    return;
  }
  // An exactly sized heap copy: one byte read past `size` is an ASan report.
  std::unique_ptr<char[]> buffer = std::make_unique<char[]>(size);
  std::memcpy(buffer.get(), data, size);
  const char* nul = static_cast<const char*>(std::memchr(buffer.get(), 0, size));
  // The contract allows len beyond the buffer only when a NUL ends the text first.
  bool allowed = len <= 0 || static_cast<std::size_t>(len) <= size ||
                 (nul != nullptr && nul - buffer.get() < len);
  if (!allowed) {
    return;
  }
  std::string result = ZarCatStr(buffer.get(), len);
  if (len <= 0) {
    if (!result.empty()) {
      Fail("ZarCatStr with len <= 0 is not empty", result);
    }
    return;
  }
  std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(len), 255);
  if (result.size() != want) {
    Fail("ZarCatStr length is not min(len, 255)", result);
  }
  std::size_t text_len = static_cast<std::size_t>(len);
  if (nul != nullptr && static_cast<std::size_t>(nul - buffer.get()) < text_len) {
    text_len = static_cast<std::size_t>(nul - buffer.get());
  }
  for (std::size_t i = 0; i < want; ++i) {
    char expected = i < text_len ? buffer[i] : ' ';
    if (result[i] != expected) {
      Fail("ZarCatStr is not the text before the NUL padded with blanks", result);
    }
  }

  std::string null_result = ZarCatStr(nullptr, len);
  if (null_result != std::string(want, ' ')) {
    Fail("ZarCatStr of a null pointer is not all blanks", null_result);
  }
}

void CheckPad(const std::string& s, int32_t len) {
  std::string padded = Pad(s, len);
  std::size_t want = len > 0 ? std::max(s.size(), static_cast<std::size_t>(len)) : s.size();
  if (padded.size() != want || padded.compare(0, s.size(), s) != 0 ||
      padded.find_first_not_of(' ', s.size()) != std::string::npos) {
    Fail("Pad is not s followed by blanks up to len", padded);
  }
}

void CheckEscape(const std::string& s) {
  std::string escaped = EscapeString(s);
  std::optional<std::string> back = MysqlUnescape(escaped);
  if (!back) {
    Fail("EscapeString output ends the quoted literal early", s);
  }
  if (*back != s) {
    Fail("EscapeString output does not unescape to the input", s);
  }
  if (QuoteString(escaped) != "'" + escaped + "'") {
    Fail("QuoteString changed its argument", escaped);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  int32_t len = static_cast<int32_t>((data[0] << 8 | data[1]) % 321) - 4;
  data += 2;
  size -= 2;
  CheckZarCatStr(data, size, len);
  std::string text(reinterpret_cast<const char*>(data), size);
  CheckPad(text, len);
  CheckEscape(text);
  return 0;
}
