// Writes the bash completion of vek_smbios_util from its template, with the options of the
// command line's table and the names of the field table: the completion offers what the program
// takes, and no list of options is kept by hand beside the table.
//   make_completion TEMPLATE OUTPUT
// The template's line "@OPTIONS@" becomes one line per option ("-f file", "--image file"), and
// "@FIELDS@" the fields' names, separated by blanks.
#include "cli/options.h"
#include "record/dmi_record.h"
#include "util/file_io.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

const char* argument_kind(option_argument argument) {
  switch (argument) {
  case option_argument::none:
    return "none";
  case option_argument::file:
    return "file";
  case option_argument::field:
    return "field";
  case option_argument::value:
    return "value";
  }
  return "none";
}

std::string options_list() {
  std::string list;
  for (const option_entry& entry : option_table()) {
    const std::string kind = argument_kind(entry.argument);
    if (entry.short_name != 0) {
      list += std::string(list.empty() ? "" : "\n") + "-" + entry.short_name + " " + kind;
    }
    if (entry.long_name != nullptr) {
      list += std::string(list.empty() ? "" : "\n") + "--" + entry.long_name + " " + kind;
    }
  }
  return list;
}

std::string fields_list() {
  std::string list;
  for (int id = 0; id < FIELD_COUNT; ++id) {
    list += std::string(id == 0 ? "" : " ") + field_name(static_cast<field_id>(id));
  }
  return list;
}

// The template with its placeholder lines filled in.
std::string filled(std::FILE* source) {
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, source)) > 0) {
    text.append(buffer, got);
  }
  for (const auto& [placeholder, value] :
       {std::pair{std::string("@OPTIONS@"), options_list()}, {"@FIELDS@", fields_list()}}) {
    const std::size_t at = text.find(placeholder);
    if (at != std::string::npos) {
      text.replace(at, placeholder.size(), value);
    }
  }
  return text;
}

} // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    return 2;
  }
  const unique_stream source(std::fopen(argv[1], "r"));
  const unique_stream output(std::fopen(argv[2], "w"));
  if (source == nullptr || output == nullptr) {
    return 1;
  }
  const std::string text = filled(source.get());
  return std::fwrite(text.data(), 1, text.size(), output.get()) == text.size() ? 0 : 1;
}
