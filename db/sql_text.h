// The string functions that turn values into statement text. All text is 8-bit bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// s followed by blanks up to len characters; never shortens (len <= 0 returns s).
std::string Pad(const std::string& s, int32_t len);

// "'" + s + "'", nothing inside changed. Callers that may hold a quote or backslash
// pass the text through EscapeString first.
std::string QuoteString(const std::string& s);

// The characters from p up to the first NUL, at most len of them (none looked at past
// len), padded with blanks to len, cut to 255. A null p or len <= 0 gives Pad("", len).
std::string ZarCatStr(const char* p, int32_t len);

// s with a backslash put before every single quote and every backslash, so the value
// is stored exactly as read when placed between single quotes (backslash escapes on).
std::string EscapeString(const std::string& s);

namespace db {

// `text` escaped and between single quotes: QuoteString(EscapeString(text)), the form every
// quoted value of the program's statements takes.
std::string QuotedText(const std::string& text);

// `name` between backquotes, a backquote inside doubled: a table or column name as MySQL
// reads it, whatever it holds.
std::string QuoteIdentifier(const std::string& name);

// `bytes` as hex digits, two a byte, in upper case ("0A1B") or lower case ("0a1b").
std::string HexDigits(std::string_view bytes, bool lower_case = false);

// `bytes` as a hex literal (X'0A1B', X'' when empty). No escaping rule, character set or
// sql_mode can change a byte of it, so binary values and exact text travel this way.
std::string HexLiteral(std::string_view bytes);

}  // namespace db
