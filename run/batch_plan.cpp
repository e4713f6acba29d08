// The plan of a batch: the table, the output folder, and a row planned for each image.
#include "run/batch_plan.h"

#include "cli/field_value.h"
#include "cli/value_rules.h"
#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/given_values.h"
#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/file_io.h"

#include <uuid/uuid.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// A table is read whole; one of this size already holds far more rows than images fit on a disk.
constexpr off_t MAX_TABLE_SIZE = 64 << 20;

// The problem with a row's output name, or "": a file name, no folder, not the manifest's.
std::string output_fault(const std::string& name) {
  if (name.empty()) {
    return "is empty";
  }
  if (name == "." || name == ".." || name.find('/') != std::string::npos) {
    return "names a folder: give the name of a file in the output folder";
  }
  if (has_control_byte(name)) {
    return "holds a control character";
  }
  if (name == MANIFEST_NAME) {
    return "is the name of the batch's manifest";
  }
  return "";
}

// What stands at `name` in `folder`; the name itself, a symbolic link is not followed.
output_state output_there(int folder, const std::string& name) {
  struct stat status;
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? output_state::missing : output_state::other;
  }
  return image_file_fault(status) == image_fault::none ? output_state::image : output_state::other;
}

// Whether `cell`, a cell of the column of `field`, holds `value`.
bool cell_holds(field_id field, const std::string& cell, const std::string& value) {
  if (field != FIELD_SYSTEM_UUID) {
    return cell == value;
  }
  uuid_t wanted;
  uuid_t held;
  return uuid_parse(value.c_str(), wanted) == 0 && uuid_parse(cell.c_str(), held) == 0 &&
         std::memcmp(wanted, held, sizeof wanted) == 0;
}

} // namespace

void problem_list::add(std::size_t line, std::string column, std::string text) {
  std::string said = "line " + std::to_string(line);
  said += column.empty() ? "" : ", column " + column;
  said += ": " + text;
  problems_.push_back({line, std::move(column), std::move(text), std::move(said)});
}

void problem_list::add(const csv_problem& found) {
  const std::string said = csv_problem_text(found);
  std::string column;
  if (found.column != 0) {
    column = found.column_name.empty() || found.kind == csv_problem_kind::unknown_column ||
                     found.kind == csv_problem_kind::repeated_column
                 ? std::to_string(found.column)
                 : found.column_name;
  }
  problems_.push_back({found.line, column, said.substr(said.find(": ") + 2), said});
}

void problem_list::refuse(const std::string& table) const {
  std::string message = format_text("Refusing batch table %s, nothing made:\n", table.c_str());
  std::string members = ",\"problems\":[";
  for (const problem& each : problems_) {
    message += each.said + "\n";
    members += &each == problems_.begin() ? "{" : ",{";
    members += "\"line\":" + std::to_string(each.line);
    if (!each.column.empty()) {
      members += ",\"column\":";
      append_json_string(members, each.column);
    }
    members += ",\"message\":";
    append_json_string(members, each.text);
    members += '}';
  }
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, message, "")
      .with_path(table)
      .with_document_members(members + "]");
}

std::string output_path(const std::string& folder, const std::string& name) {
  return folder + (folder.ends_with("/") ? "" : "/") + name;
}

std::string read_table(const std::string& path) {
  // Not waiting on a FIFO: a table is a file.
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    fail(failure_kind::file, path, "Unable to open batch table %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode) || status.st_size > MAX_TABLE_SIZE) {
    fail(failure_kind::file, path, "Batch table %s is not a regular file of at most %jd bytes\n",
         path.c_str(), static_cast<std::intmax_t>(MAX_TABLE_SIZE));
  }
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  if (read_all_at(file.get(), text.data(), text.size(), 0) != 0) {
    fail(failure_kind::file, path, "Unable to read batch table %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  return text;
}

csv_table parse_table(const std::string& text, const std::string& path) {
  auto parsed = read_csv_table(text);
  if (const auto* problems = std::get_if<csv_problem_list>(&parsed)) {
    problem_list listed;
    for (const csv_problem& each : *problems) {
      listed.add(each);
    }
    listed.refuse(path);
  }
  return std::move(std::get<csv_table>(parsed));
}

unique_fd open_output_folder(const std::string& folder) {
  const path_verdict verdict = check_trusted_path(folder, path_use::folder);
  if (!verdict.trusted()) {
    fail(failure_kind::file, folder, "Unable to use output folder %s: %s\n", folder.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
  unique_fd opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid()) {
    fail(failure_kind::file, folder, "Unable to open output folder %s: %s\n", folder.c_str(),
         std::strerror(errno));
  }
  return opened;
}

dmi_record row_values(const csv_table& table, std::size_t row, problem_list& problems) {
  dmi_record values;
  dmi_record_init(values);
  const std::size_t line = table.row_lines[row];
  for (int column = 0; column < table.column_count; ++column) {
    if (column == table.output_column) {
      continue;
    }
    const field_id field = table.columns[column];
    const std::string& cell = table.cell(row, column);
    std::string why;
    if (const auto broken = check_value_rules(field, cell)) {
      problems.add(line, field_name(field), broken->text);
    } else if (set_field_value(values, field, cell.c_str(), why) != value_result::taken) {
      problems.add(line, field_name(field), why.substr(0, why.find('\n')));
    } else if (field == FIELD_SYSTEM_UUID) {
      if (const auto uuid_broken = check_uuid_rules(dmi_record_uuid(values))) {
        problems.add(line, field_name(field), uuid_broken->text);
      }
    }
  }
  return values;
}

row_plan plan_row(const csv_table& table, std::size_t row, int folder, bool refuse_other_files,
                  const dmi_record& master, const dmi_record& given, problem_list& problems) {
  row_plan plan;
  plan.line = table.row_lines[row];
  plan.output = table.cell(row, table.output_column);
  std::string fault = output_fault(plan.output);
  if (fault.empty() && folder >= 0) {
    plan.there = output_there(folder, plan.output);
    fault = plan.there == output_state::other && refuse_other_files ? "exists already" : "";
  }
  if (!fault.empty()) {
    problems.add(plan.line, std::string(OUTPUT_COLUMN_NAME), fault);
  }
  const dmi_record values = row_values(table, row, problems);
  try {
    // The row's values over the options', over the file's, over the master's.
    plan.stored = stored_record(master, overlay_values(given, values));
  } catch (const run_failure& failure) {
    problems.add(plan.line, failure.subject(),
                 failure.message().substr(0, failure.message().find('\n')));
  }
  return plan;
}

item_list<row_plan> plan_rows(const csv_table& table, int folder, bool refuse_other_files,
                              const dmi_record& master, const dmi_record& given,
                              problem_list& problems) {
  item_list<row_plan> rows;
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    rows.push_back(plan_row(table, row, folder, refuse_other_files, master, given, problems));
  }
  for (const duplicate_value& duplicate : find_duplicate_values(table)) {
    const int column = duplicate.column;
    problems.add(duplicate.line,
                 column == table.output_column ? std::string(OUTPUT_COLUMN_NAME)
                                               : field_name(table.columns[column]),
                 "the same value as line " + std::to_string(duplicate.first_line));
  }
  return rows;
}

std::size_t find_row(const csv_table& table, const std::string& key, const std::string& path) {
  const std::string name = key.substr(0, key.find('='));
  const std::string value = key.substr(key.find('=') + 1);
  const int column = table.column_of(static_cast<field_id>(lookup_field(name.c_str())));
  std::size_t found = table.row_count();
  std::string lines;
  for (std::size_t row = 0; column >= 0 && row < table.row_count(); ++row) {
    if (cell_holds(table.columns[column], table.cell(row, column), value)) {
      lines += (lines.empty() ? "" : ", ") + std::to_string(table.row_lines[row]);
      found = found == table.row_count() ? row : found;
    }
  }
  const std::string shown = escape_control_bytes(value);
  if (lines.empty()) {
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value,
                      format_text("No row of batch table %s has %s '%s'; nothing is read or "
                                  "written\n",
                                  path.c_str(), name.c_str(), shown.c_str()),
                      name)
        .with_path(path);
  }
  if (lines.find(',') != std::string::npos) {
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value,
                      format_text("Lines %s of batch table %s all have %s '%s': --row picks one "
                                  "row; nothing is read or written\n",
                                  lines.c_str(), path.c_str(), name.c_str(), shown.c_str()),
                      name)
        .with_path(path);
  }
  return found;
}
