#include "log/link_log.h"

#include "platform/files.h"

namespace korvane {

void LinkLog::SetupLogfile(const std::string& file_name, int32_t param) {
  file_name_ = file_name;
  param_ = param;
}

void LinkLog::Log(const std::string& message, int32_t code) {
  if (file_name_.empty()) return;
  std::string prefix = ElapsedPrefix(counter_, " +%1.2lf ms", " +0.00 ms");
  LocalTime t = ActiveLogTime().Now();
  std::string line = StrFormat("[%02u.%02u.%04u %02u:%02u:%02u%s]\t", t.day, t.month, t.year, t.hour, t.minute,
                               t.second, prefix.c_str());
  line += message;
  if (code != 0) line += StrFormat(" (%ld)", static_cast<long>(code));
  line += "\n";
  AppendToFile(file_name_, line, true);
}

}  // namespace korvane
