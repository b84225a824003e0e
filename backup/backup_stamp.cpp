// The local-time texts of backup times, and the instant a header's text stands for.
#include "backup/backup_stamp.h"

#include <cstdio>
#include <ctime>

#include "settings/system.h"

namespace backup {

BackupStamp StampOf(std::chrono::system_clock::time_point time) {
  const int64_t since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  int64_t whole_seconds = since_epoch / 1000;
  int64_t millis = since_epoch % 1000;
  if (millis < 0) {
    millis += 1000;
    whole_seconds -= 1;
  }
  const std::tm local = settings::LocalTime(static_cast<std::time_t>(whole_seconds));
  char date[32];
  char name[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  std::strftime(name, sizeof name, "%Y%m%d-%H%M%S", &local);
  // The offset is the local clock's lead over UTC, worked out here: some C libraries write
  // the zone's name for %z.
  const std::chrono::sys_days day{std::chrono::year(local.tm_year + 1900) / (local.tm_mon + 1) /
                                  local.tm_mday};
  const int64_t local_seconds = static_cast<int64_t>(day.time_since_epoch().count()) * 86400 +
                                local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const int64_t lead = (local_seconds - whole_seconds) / 60;
  const int64_t lead_minutes = lead < 0 ? -lead : lead;
  char offset[16];
  std::snprintf(offset, sizeof offset, "%c%02d%02d", lead < 0 ? '-' : '+',
                static_cast<int>(lead_minutes / 60), static_cast<int>(lead_minutes % 60));
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(millis));
  return BackupStamp{std::string(name) + ms, std::string(date) + ms + " " + offset};
}

// The instant of a header's time, in milliseconds since the epoch.
std::optional<int64_t> InstantOf(const std::string& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0, offset = 0;
  char sign = '+';
  if (std::sscanf(time.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d %c%4d", &year, &month, &day, &hour,
                  &minute, &second, &millis, &sign, &offset) != 9) {
    return std::nullopt;
  }
  const int64_t offset_minutes = (offset / 100 * 60 + offset % 100) * (sign == '-' ? -1 : 1);
  const std::chrono::sys_days date{std::chrono::year(year) / month / day};
  const int64_t minutes =
      static_cast<int64_t>(date.time_since_epoch().count()) * 1440 + hour * 60 + minute;
  return ((minutes - offset_minutes) * 60 + second) * 1000 + millis;
}

}  // namespace backup
