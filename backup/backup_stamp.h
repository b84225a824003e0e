// A backup's time: the local-time texts of its name and header, and the instant a header's
// text stands for.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace backup {

struct BackupStamp {
  std::string name;    // "20261209-194003.123"
  std::string header;  // "2026-12-09 19:40:03.123 +0100"
};

// `time` in the local time zone, to the millisecond.
BackupStamp StampOf(std::chrono::system_clock::time_point time);

// The instant of a header's time ("2026-12-09 19:40:03.123 +0100"), in milliseconds since
// the epoch; nullopt when the text is not of that form.
std::optional<int64_t> InstantOf(const std::string& time);

}  // namespace backup
