#include "platform/Clock.h"

#include <ctime>

namespace platform {

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  localtime_r(&now.tv_sec, &fields);
  LocalTime result;
  result.year = fields.tm_year + 1900;
  result.month = fields.tm_mon + 1;
  result.day = fields.tm_mday;
  result.hour = fields.tm_hour;
  result.minute = fields.tm_min;
  // A leap second is shown as the last second of its minute.
  result.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
  result.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return result;
}

}  // namespace platform
