// The words of a batch table's problems.
#include "cli/csv_table.h"
#include "record/text_escape.h"

namespace {

// The names a header takes, for a message about one it does not.
std::string names_taken() {
  std::string names(OUTPUT_COLUMN_NAME);
  for (int id = 0; id < FIELD_COUNT; ++id) {
    names += ", ";
    names += field_name(static_cast<field_id>(id));
  }
  return names;
}

// What is wrong, for the problems that need no number or name of their own.
const char* fixed_words(csv_problem_kind kind) {
  switch (kind) {
  case csv_problem_kind::no_output_column:
    return "the header names no \"output\" column";
  case csv_problem_kind::quote_inside_cell:
    return "a quote inside a cell that does not begin with one";
  case csv_problem_kind::text_after_quote:
    return "text after the closing quote of a cell";
  case csv_problem_kind::unterminated_quote:
    return "a quoted cell that is not closed before the end of the table";
  case csv_problem_kind::bare_carriage_return:
    return "a carriage return without a line feed, outside quotes";
  case csv_problem_kind::nul_byte:
    return "a NUL byte";
  case csv_problem_kind::not_utf8:
    return "bytes that are not UTF-8";
  case csv_problem_kind::no_header:
    return "the table is empty: it has no header";
  case csv_problem_kind::no_rows:
    return "the table has a header and no rows";
  case csv_problem_kind::utf16:
    return "the table is UTF-16 text, which is not taken: save it as UTF-8 (in a spreadsheet, "
           "as \"CSV UTF-8\")";
  case csv_problem_kind::unknown_column:
  case csv_problem_kind::repeated_column:
  case csv_problem_kind::wrong_cell_count:
  case csv_problem_kind::cell_too_long:
  case csv_problem_kind::too_many_rows:
    break;
  }
  return "";
}

} // namespace

std::string csv_problem_text(const csv_problem& problem) {
  const bool names_header_cell = problem.kind == csv_problem_kind::unknown_column ||
                                 problem.kind == csv_problem_kind::repeated_column;
  std::string text = "line " + std::to_string(problem.line);
  if (problem.column != 0) {
    // A cell is placed by its column's name; a header cell by its place, as it may hold any text.
    text += ", column ";
    text += names_header_cell || problem.column_name.empty()
                ? std::to_string(problem.column)
                : escape_control_bytes(problem.column_name);
  }
  text += ": ";
  std::string name = "'";
  name += escape_control_bytes(problem.column_name);
  name += '\'';
  if (problem.kind == csv_problem_kind::unknown_column) {
    return text + name +
           " is neither \"output\" nor a field name (the names taken: " + names_taken() +
           "; letter case aside, with '_' or a blank for '-'); a name beginning with '#' marks a "
           "note column, which is ignored";
  }
  if (problem.kind == csv_problem_kind::repeated_column) {
    return text + name + " names a column a second time";
  }
  if (problem.kind == csv_problem_kind::wrong_cell_count) {
    return text + std::to_string(problem.cell_count) +
           (problem.cell_count == 1 ? " cell" : " cells") + " where the header has " +
           std::to_string(problem.header_cell_count);
  }
  if (problem.kind == csv_problem_kind::cell_too_long) {
    return text + "a cell of " + std::to_string(problem.length) + " bytes, longer than the " +
           std::to_string(problem.limit) + " this column takes";
  }
  if (problem.kind == csv_problem_kind::too_many_rows) {
    return text + "a row past the " + std::to_string(problem.limit) +
           " a table may have; the rest is not read: split the table";
  }
  return text + fixed_words(problem.kind);
}
