// Configuration file reader.
#include "cli/config_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The buffer that getline grows as needed, released when the reading ends.
struct line_buffer {
  char* text = nullptr;
  std::size_t capacity = 0;
  ~line_buffer() {
    std::free(text);
  }
};

// Takes one entry line, its line end still on it. Returns a parse_config_file result.
int take_entry(dmi_record& record, char* line, int line_number) {
  // A line ends, for this reader, at its first NUL byte. Only a line end is taken off: a last
  // line without one keeps its last character, and a line that starts with NUL has nothing.
  const std::size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[length - 1] = '\0';
  }
  char* value = line;
  const char* name = strsep(&value, "=");
  const int field = lookup_field(name);
  if (field < 0 || value == nullptr) {
    std::fprintf(stderr, "Invalid field name line %d\n", line_number);
    return CONFIG_BAD_ENTRY;
  }
  if (field == FIELD_SYSTEM_UUID) {
    if (dmi_record_parse_uuid(record, value) != 0) {
      report_bad_uuid(value);
    }
    return 0;
  }
  if (dmi_record_set_text(record, static_cast<field_id>(field), value) != 0) {
    report_field_overflow(static_cast<field_id>(field));
    return CONFIG_NO_ROOM;
  }
  return 0;
}

} // namespace

int parse_config_file(dmi_record& record, std::FILE* stream) {
  line_buffer line;
  int line_number = 1;
  while (getline(&line.text, &line.capacity, stream) != -1) {
    if (line.text[0] != '#' && std::strcmp(line.text, "\n") != 0) {
      const int result = take_entry(record, line.text, line_number);
      if (result != 0) {
        return result;
      }
    }
    ++line_number;
  }
  const int saved_errno = errno;
  if (!std::feof(stream)) {
    std::fprintf(stderr, "config parsing failed: %s\n", std::strerror(saved_errno));
    return CONFIG_READ_ERROR;
  }
  return 0;
}
