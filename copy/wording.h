// Small pieces of the text the plan and the verification print.
#pragma once

#include <cstdint>
#include <string>

namespace copy {

// "1 row", "3 rows": the count with the word that agrees with it.
inline std::string Quantity(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace copy
