// The one rule for writing JSON.
#include "run/json.h"

#include <nlohmann/json.hpp>

namespace run {

std::string DumpJson(const Json& value) {
  // The library replaces a byte that is not UTF-8 by U+FFFD; written as an escape, the
  // replacement stays visible as such in any terminal or log. (A U+FFFD that was in the
  // text already is written the same way, which means the same.)
  const std::string dumped = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(dumped.size());
  for (std::size_t i = 0; i < dumped.size();) {
    if (std::string_view(dumped).substr(i, kReplacement.size()) == kReplacement) {
      out += "\\ufffd";
      i += kReplacement.size();
    } else {
      out += dumped[i++];
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  return DumpJson(Json(std::string(text)));
}

}  // namespace run
