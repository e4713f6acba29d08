// The plan of a batch: the table, the output folder, and a row planned for each image.
#include "run/batch_plan.h"

#include "cli/field_value.h"
#include "cli/value_rules.h"
#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/given_values.h"
#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "system/leftovers.h"
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

// What stands at `name` in `folder`, whose names are `existing`; the name itself, a symbolic link
// is not followed.
output_state output_there(int folder, const folder_names& existing, const std::string& name) {
  if (!existing.holds(name)) {
    return output_state::missing;
  }
  struct stat status;
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? output_state::missing : output_state::other;
  }
  return image_file_fault(status) == image_fault::none ? output_state::image : output_state::other;
}

// Whether `cell`, a cell of the column of `field`, holds `value`.
bool cell_holds(field_id field, std::string_view cell, const std::string& value) {
  if (field != FIELD_SYSTEM_UUID) {
    return cell == value;
  }
  uuid_t wanted;
  uuid_t held;
  return uuid_parse(value.c_str(), wanted) == 0 && uuid_parse(cell.data(), held) == 0 &&
         std::memcmp(wanted, held, sizeof wanted) == 0;
}

// Ends the run unless the table at `path` lies where no other user can change it, and, once
// open on `status`, is still the file the name leads to.
void refuse_untrusted_table(const std::string& path, const struct stat* status) {
  const path_verdict verdict = check_trusted_path(path, path_use::input);
  struct stat named;
  if (verdict.trusted() && status != nullptr &&
      (::stat(path.c_str(), &named) != 0 || !same_file(named, *status))) {
    fail(failure_kind::file, path, "Unable to open batch table %s: it was replaced\n",
         path.c_str());
  }
  if (!verdict.trusted()) {
    fail(failure_kind::file, path, "Unable to open batch table %s: %s\n", path.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
}

// A placeholder of the master's record in a field that no column of the table and no option
// sets: it would be stamped into every image as it stands. One problem of the table, said at the
// header's line; the rows' values are those of its first row.
void add_carried_placeholder(const csv_table& table, const dmi_record& master,
                             const dmi_record& given, problem_list& problems) {
  if (table.row_count() == 0) {
    return;
  }
  problem_list said_already;
  dmi_record values = given;
  try {
    values = overlay_values(given, row_values(table, 0, said_already));
  } catch (const run_failure&) {
    // Said as a problem of the row.
  }
  if (const auto carried = find_carried_placeholder(master, values)) {
    problems.add(1, field_name(carried->field),
                 carried->broken.text +
                     ", carried over from the master image: set it in a column or an option");
  }
}

} // namespace

void problem_list::add(std::size_t line, std::string column, std::string text) {
  if (is_full()) {
    return;
  }
  column = bounded_problem_text(std::move(column));
  text = bounded_problem_text(std::move(text));
  std::string said = "line " + std::to_string(line);
  said += column.empty() ? "" : ", column " + column;
  said += ": " + text;
  problems_.push_back({line, std::move(column), std::move(text), std::move(said)});
}

void problem_list::add(const csv_problem& found) {
  if (is_full()) {
    return;
  }
  const std::string said = bounded_problem_text(csv_problem_text(found));
  std::string column;
  if (found.column != 0) {
    column = found.column_name.empty() || found.kind == csv_problem_kind::unknown_column ||
                     found.kind == csv_problem_kind::repeated_column
                 ? std::to_string(found.column)
                 : found.column_name;
  }
  problems_.push_back(
      {found.line, bounded_problem_text(column), said.substr(said.find(": ") + 2), said});
}

bool problem_list::is_full() {
  not_listed_ += problems_.size() == MAX_LISTED_PROBLEMS ? 1 : 0;
  return not_listed_ != 0;
}

void problem_list::refuse(const std::string& table) const {
  std::string message = format_text("Refusing batch table %s, nothing made:", table.c_str());
  item_list<table_problem> listed;
  for (const problem& each : problems_) {
    message += "\n" + each.said;
    listed.push_back({each.line, each.column, each.text});
  }
  if (not_listed_ != 0) {
    message += format_text("\nand %zu more", not_listed_);
  }
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, message, "")
      .with_path(table)
      .with_problems(std::move(listed), not_listed_);
}

std::string output_path(const std::string& folder, const std::string& name) {
  return folder + (folder.ends_with("/") ? "" : "/") + name;
}

std::string read_table(const std::string& path) {
  refuse_untrusted_table(path, nullptr);
  // Not waiting on a FIFO: a table is a file.
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    fail(failure_kind::file, path, "Unable to open batch table %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  // Checked again once open: a name another user filled in meanwhile leads to another file.
  refuse_untrusted_table(path, &status);
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

csv_table parse_table(const std::string& text, problem_list& problems) {
  // Read whole, problems and all: the rows taken are checked too, so one run names every problem.
  csv_reading reading = read_csv_table(text);
  for (const csv_problem& each : reading.problems) {
    problems.add(each);
  }
  problems.count_not_listed(reading.problems_not_listed);
  return std::move(reading.table);
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
    const std::string cell(table.cell(row, column));
    if (const auto broken = check_value_rules(field, cell)) {
      problems.add(line, field_name(field), broken->text);
    } else if (const value_outcome taken = set_field_value(values, field, cell.c_str());
               !taken.taken()) {
      problems.add(line, field_name(field), taken.why.substr(0, taken.why.find('\n')));
    } else if (field == FIELD_SYSTEM_UUID) {
      if (const auto uuid_broken = check_uuid_rules(dmi_record_uuid(values))) {
        problems.add(line, field_name(field), uuid_broken->text);
      }
    }
  }
  return values;
}

row_plan plan_row(const csv_table& table, std::size_t row, const dmi_record& master,
                  const dmi_record& given, problem_list& problems) {
  row_plan plan;
  plan.line = table.row_lines[row];
  // A table without an output column is refused already; its rows' values are checked still.
  plan.output = table.output_column >= 0 ? std::string(table.cell(row, table.output_column)) : "";
  if (const std::string fault = output_fault(plan.output); !fault.empty()) {
    problems.add(plan.line, std::string(OUTPUT_COLUMN_NAME), fault);
  }
  const dmi_record values = row_values(table, row, problems);
  try {
    // The row's values over the options', over the file's, over the master's.
    plan.stored = stored_record(master, overlay_values(given, values));
  } catch (const run_failure& failure) {
    problems.add(plan.line, failure.subject(), failure.message());
  }
  return plan;
}

row_plan batch_rows::plan(std::size_t row) const {
  problem_list known;
  row_plan plan = plan_row(table, row, master, given, known);
  plan.there = there[row];
  return plan;
}

batch_rows check_rows(const csv_table& table, int folder, bool refuse_other_files,
                      const dmi_record& master, const dmi_record& given, problem_list& problems) {
  batch_rows rows{table, master, given, {}};
  const folder_names existing(folder);
  for (std::size_t row = 0; row < table.row_count() && noted_signal() == 0; ++row) {
    // The output's problems come first, the values' after, as plan_row says them.
    const std::string output =
        table.output_column >= 0 ? std::string(table.cell(row, table.output_column)) : "";
    output_state there = output_state::missing;
    if (folder >= 0 && output_fault(output).empty()) {
      there = output_there(folder, existing, output);
    }
    if (there == output_state::other && refuse_other_files) {
      problems.add(table.row_lines[row], std::string(OUTPUT_COLUMN_NAME), "exists already");
    }
    plan_row(table, row, master, given, problems);
    rows.there.push_back(there);
  }
  add_carried_placeholder(table, master, given, problems);
  const duplicate_values duplicates = find_duplicate_values(table, MAX_LISTED_PROBLEMS);
  for (const duplicate_value& duplicate : duplicates.first) {
    const int column = duplicate.column;
    problems.add(duplicate.line,
                 column == table.output_column ? std::string(OUTPUT_COLUMN_NAME)
                                               : field_name(table.columns[column]),
                 "the same value as line " + std::to_string(duplicate.first_line));
  }
  problems.count_not_listed(duplicates.not_listed);
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
