// The form of an agency code, checked wherever a code comes in (a run, a backup's header).
#pragma once

#include <string_view>

#include "db/ascii.h"

namespace copy {

// Two ASCII letters or digits: what the tables' code columns and the ap keys hold.
inline bool IsAgencyCode(std::string_view code) {
  return code.size() == 2 && db::IsAsciiAlnum(code[0]) && db::IsAsciiAlnum(code[1]);
}

}  // namespace copy
