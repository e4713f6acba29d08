// Configuration file reader.
#include "cli/config_file.h"

#include "cli/field_value.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace {

enum class line_read { line, end, too_long };

// Reads the next line of `stream` into `line`, its "\n" kept, holding at most
// MAX_CONFIG_LINE_LENGTH bytes before the "\n", so a file without line ends (/dev/zero) cannot
// grow the memory without bound. A last line without "\n" counts; at the end of the file or on
// a read error (told apart by the caller) nothing is read.
line_read read_line(std::FILE* stream, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(stream)) != EOF) {
    if (c == '\n') {
      line += '\n';
      return line_read::line;
    }
    if (line.size() == MAX_CONFIG_LINE_LENGTH) {
      return line_read::too_long;
    }
    line += static_cast<char>(c);
  }
  return line.empty() ? line_read::end : line_read::line;
}

// A UTF-8 byte-order mark, which some editors put at the start of a text file.
constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// Takes the line end, "\n" or "\r\n", off a line. A line ends, for this reader, at its first NUL
// byte: a last line without a line end keeps its last character, and a line that starts with NUL
// has nothing.
void cut_line_end(char* line) {
  std::size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r') {
      line[length - 1] = '\0';
    }
  }
}

// Whether the line holds no entry: a comment, or nothing but its line end.
bool is_skipped(std::string_view line) {
  return line.empty() || line[0] == '#' || line == "\n" || line == "\r\n";
}

// Takes one entry line, its line end still on it.
config_outcome take_entry(dmi_record& record, char* line, int line_number) {
  cut_line_end(line);
  char* value = line;
  const char* name = strsep(&value, "=");
  const int field = lookup_field(name);
  if (field < 0 || value == nullptr) {
    return {config_result::bad_entry,
            "Invalid field name line " + std::to_string(line_number) + "\n"};
  }
  value_outcome taken = set_field_value(record, static_cast<field_id>(field), value, line_number);
  switch (taken.result) {
  case value_result::taken:
    return {};
  case value_result::no_room:
    return {config_result::no_room, std::move(taken.why)};
  case value_result::not_a_uuid:
  case value_result::nil_uuid:
  case value_result::control_byte:
    break;
  }
  return {config_result::bad_value, std::move(taken.why)};
}

} // namespace

config_outcome parse_config_file(dmi_record& record, std::FILE* stream) {
  std::string line;
  int line_number = 1;
  line_read got;
  while ((got = read_line(stream, line)) == line_read::line) {
    // Measured as read, not up to a NUL, so a line that starts with NUL is not taken as empty.
    const std::string_view whole(line);
    const std::size_t start =
        line_number == 1 && whole.starts_with(BYTE_ORDER_MARK) ? BYTE_ORDER_MARK.size() : 0;
    if (!is_skipped(whole.substr(start))) {
      config_outcome outcome = take_entry(record, line.data() + start, line_number);
      if (outcome.result != config_result::taken) {
        return outcome;
      }
    }
    ++line_number;
  }
  if (got == line_read::too_long) {
    return {config_result::too_long, "Line " + std::to_string(line_number) +
                                         " of the configuration file is longer than " +
                                         std::to_string(MAX_CONFIG_LINE_LENGTH) + " bytes\n"};
  }
  const int saved_errno = errno;
  if (!std::feof(stream)) {
    return {config_result::read_error,
            std::string("config parsing failed: ") + std::strerror(saved_errno) + "\n"};
  }
  return {};
}
