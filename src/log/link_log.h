// The log of one terminal link; its file is chosen by the application at run time.
#pragma once
#include <cstdint>
#include <string>

#include "log/log_time.h"

namespace korvane {

class LinkLog {
 public:
  // An empty name switches the log off. `param` is kept and not used.
  void SetupLogfile(const std::string& file_name, int32_t param);
  void Log(const std::string& message, int32_t code);
  const std::string& FileName() const { return file_name_; }
  int32_t Param() const { return param_; }

 private:
  std::string file_name_;
  int32_t param_ = 0;
  ElapsedCounter counter_;
};

}  // namespace korvane
