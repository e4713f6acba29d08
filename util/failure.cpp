// The failure that ends a run.
#include "util/failure.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The format is the caller's own: the attribute lets the compiler check it where it is written.
[[gnu::format(printf, 1, 0)]] std::string format_arguments(const char* format,
                                                           std::va_list arguments) {
  std::va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

// A message is kept without its line end: each form of output ends it its own way.
std::string without_line_end(std::string message) {
  if (!message.empty() && message.back() == '\n') {
    message.pop_back();
  }
  return message;
}

} // namespace

run_failure::run_failure(int status, failure_kind kind, std::string message, std::string subject)
    : status_(status), kind_(kind), message_(without_line_end(std::move(message))),
      subject_(std::move(subject)) {}

run_failure& run_failure::with_message(std::string message) {
  message_ = without_line_end(std::move(message));
  return *this;
}

run_failure& run_failure::with_mismatches(item_list<value_mismatch> mismatches) {
  mismatches_ = std::make_shared<const item_list<value_mismatch>>(std::move(mismatches));
  return *this;
}

run_failure& run_failure::with_problems(item_list<table_problem> problems, std::size_t not_listed) {
  problems_ = std::make_shared<const item_list<table_problem>>(std::move(problems));
  problems_not_listed_ = not_listed;
  return *this;
}

std::string failure_words(const run_failure& failure) {
  if (!failure.message().empty() || failure.kind() != failure_kind::outside_program) {
    return failure.message();
  }
  if (failure.program_status()) {
    return format_text("%s ended with status %d", failure.subject().c_str(),
                       *failure.program_status());
  }
  return format_text("%s ended with status %d", failure.subject().c_str(), failure.status());
}

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
