// The failure that ends a run.
#include "util/failure.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string format_arguments(const char* format, std::va_list arguments) {
  std::va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

} // namespace

const char* failure_kind_name(failure_kind kind) {
  switch (kind) {
  case failure_kind::usage:
    return "usage";
  case failure_kind::refused_value:
    return "refused-value";
  case failure_kind::image:
    return "image";
  case failure_kind::file:
    return "file";
  case failure_kind::outside_program:
    return "outside-program";
  case failure_kind::journal:
    return "journal";
  case failure_kind::lock:
    return "lock";
  case failure_kind::mismatch:
    return "mismatch";
  }
  return "unknown";
}

run_failure::run_failure(int status, failure_kind kind, std::string message, std::string subject)
    : status_(status), kind_(kind), message_(std::move(message)), subject_(std::move(subject)) {}

std::string format_text(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string text = format_arguments(format, arguments);
  va_end(arguments);
  return text;
}

void fail(failure_kind kind, const std::string& subject, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string message = format_arguments(format, arguments);
  va_end(arguments);
  throw run_failure(EXIT_TOOL_ERROR, kind, std::move(message), subject);
}
