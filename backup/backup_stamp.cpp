// The calendar arithmetic of backup times.
#include "backup/backup_stamp.h"

#include <cstdio>
#include <ctime>

namespace backup {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

BackupStamp StampOf(std::chrono::system_clock::time_point time) {
  const int64_t since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  int64_t whole_seconds = since_epoch / 1000;
  int64_t millis = since_epoch % 1000;
  if (millis < 0) {
    millis += 1000;
    whole_seconds -= 1;
  }
  const auto seconds = static_cast<std::time_t>(whole_seconds);
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  char name[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  std::strftime(name, sizeof name, "%Y%m%d-%H%M%S", &local);
  char offset[16];
  std::strftime(offset, sizeof offset, "%z", &local);
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
  const int64_t minutes = DaysFromCivil(year, month, day) * 1440 + hour * 60 + minute;
  return ((minutes - offset_minutes) * 60 + second) * 1000 + millis;
}

}  // namespace backup
