#include "lmx/lmx_base.h"

namespace lmx {

bool c_error::report(int severity, int code, int line, const std::string& message) {
  if (fatal_count_ > 0) return false;
  switch (severity) {
    case ELMX_SEV_FATAL:
      ++fatal_count_;
      ++error_count_;
      break;
    case ELMX_SEV_ERROR:
      ++error_count_;
      break;
    case ELMX_SEV_WARNING2:
      ++warning2_count_;
      ++warning_count_;
      break;
    default:
      ++warning_count_;
      break;
  }
  severity_ = severity;
  code_ = code;
  line_ = line;
  message_ = message;
  on_report(severity, code, line, message);
  return true;
}

void c_error::clear() { *this = c_error(); }

}  // namespace lmx
