// Fuzz target: the readers that turn a column's text into an integer, a currency amount or
// a flag never crash, agree with each other, and read back what the float form writes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "copy/table_copy.h"
#include "db/query.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "invariant broken: %s for \"%.*s\"\n", what, static_cast<int>(text.size()),
               text.data());
  std::abort();
}

// The float form's text is plain decimal: digits, at most one full stop with a digit
// after it and no trailing zero, an optional leading "-".
bool IsPlainDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '.' || text.back() == '.') {
    return false;
  }
  std::size_t point = text.find('.');
  if (point != std::string_view::npos &&
      (text.back() == '0' || text.find('.', point + 1) != std::string_view::npos)) {
    return false;
  }
  for (char c : text) {
    if ((c < '0' || c > '9') && c != '.') {
      return false;
    }
  }
  return true;
}

void CheckReaders(std::string_view text) {
  std::optional<int32_t> integer = db::ParseInteger(text);
  std::optional<int64_t> currency = db::ParseCurrency(text);
  std::optional<bool> flag = db::ParseBoolean(text);
  // Every whole number in 32 bits is also an amount, with no fraction.
  if (integer && currency != static_cast<int64_t>(*integer) * 10000) {
    Fail("ParseCurrency disagrees with ParseInteger", text);
  }
  if (integer && flag != (*integer != 0)) {
    Fail("ParseBoolean disagrees with ParseInteger", text);
  }
}

void CheckCurrencyRoundTrip(int64_t amount) {
  std::string text = copy::FormatCurrency(amount);
  if (!IsPlainDecimal(text)) {
    Fail("FormatCurrency is not plain decimal", text);
  }
  if (db::ParseCurrency(text) != amount) {
    Fail("ParseCurrency(FormatCurrency(x)) != x", text);
  }
}

void CheckIntegerRoundTrip(int32_t value) {
  std::string text = std::to_string(value);
  if (db::ParseInteger(text) != value) {
    Fail("ParseInteger(to_string(x)) != x", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  CheckReaders(std::string_view(reinterpret_cast<const char*>(data), size));
  if (size >= sizeof(int64_t)) {
    int64_t amount;
    std::memcpy(&amount, data, sizeof amount);
    CheckCurrencyRoundTrip(amount);
    int32_t value;
    std::memcpy(&value, data, sizeof value);
    CheckIntegerRoundTrip(value);
  }
  return 0;
}
