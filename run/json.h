// Every JSON document the program writes goes through here: nlohmann/json builds it and
// DumpJson writes it, always as valid UTF-8. Code that builds documents includes
// <nlohmann/json.hpp> itself; this header stays light for those that only quote a string.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace run {

// Objects keep their members in the order they were added, which is the order readers of
// the output have always seen.
using Json = nlohmann::ordered_json;

// `value` on one line. Control characters, '"' and '\' are escaped; every byte of a string
// that is not part of valid UTF-8 becomes "\ufffd", so the output is valid JSON whatever
// bytes the database or the file system handed over.
std::string DumpJson(const Json& value);

// `text` as a JSON string, quotes included, by DumpJson's rule.
std::string JsonString(std::string_view text);

}  // namespace run
