// Configuration file reader.
#include "cli/config_file.h"

#include "cli/field_value.h"

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

// Takes one entry line, its line end still on it.
config_result take_entry(dmi_record& record, char* line, int line_number) {
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
    return config_result::bad_entry;
  }
  if (set_field_value(record, static_cast<field_id>(field), value) != value_result::taken) {
    return config_result::no_room;
  }
  return config_result::taken;
}

} // namespace

config_result parse_config_file(dmi_record& record, std::FILE* stream) {
  line_buffer line;
  int line_number = 1;
  while (getline(&line.text, &line.capacity, stream) != -1) {
    if (line.text[0] != '#' && std::strcmp(line.text, "\n") != 0) {
      const config_result result = take_entry(record, line.text, line_number);
      if (result != config_result::taken) {
        return result;
      }
    }
    ++line_number;
  }
  const int saved_errno = errno;
  if (!std::feof(stream)) {
    std::fprintf(stderr, "config parsing failed: %s\n", std::strerror(saved_errno));
    return config_result::read_error;
  }
  return config_result::taken;
}
