// The input is a batch table; whatever it holds, the reader returns a sound table of the rows it
// took and bounded problems that name lines of the text, and a table written out again reads back
// the same.
#include "cli/csv_table.h"
#include "cli/value_rules.h"
#include "fuzz/record_invariants.h"
#include "record/utf8.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool is_well_formed_utf8(std::string_view text) {
  while (!text.empty()) {
    std::size_t length = 1;
    if (static_cast<unsigned char>(text.front()) >= 0x80) {
      length = utf8_multibyte_length(text);
      if (length == 0) {
        return false;
      }
    }
    text.remove_prefix(length);
  }
  return true;
}

const char* column_name(const csv_table& table, int column) {
  return column == table.output_column ? "output" : field_name(table.columns[column]);
}

// Each column is named once, rows start on increasing lines within the text, and no cell holds a
// NUL, bytes that are not UTF-8, or more bytes than its column takes. A reading without problems
// has an output column and rows.
void check_table(const csv_reading& reading, std::size_t line_count) {
  const csv_table& table = reading.table;
  FUZZ_CHECK(table.column_count >= 0 && table.column_count <= MAX_CSV_COLUMNS);
  FUZZ_CHECK(table.output_column < table.column_count);
  FUZZ_CHECK(table.output_column < 0 || table.columns[table.output_column] == FIELD_COUNT);
  FUZZ_CHECK(!reading.clean() || (table.output_column >= 0 && table.row_count() >= 1));
  for (int column = 0; column < table.column_count; ++column) {
    if (column != table.output_column) {
      FUZZ_CHECK(table.columns[column] < FIELD_COUNT);
      FUZZ_CHECK(table.column_of(table.columns[column]) == column);
    }
  }
  FUZZ_CHECK(table.row_starts.size() == table.row_count());
  std::size_t cell_bytes = 0; // each cell and the NUL after it
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    FUZZ_CHECK(table.row_lines[row] >= 2 && table.row_lines[row] <= line_count);
    FUZZ_CHECK(row == 0 || table.row_lines[row] > table.row_lines[row - 1]);
    for (int column = 0; column < table.column_count; ++column) {
      const std::string_view cell = table.cell(row, column);
      FUZZ_CHECK(cell.data() == table.cell_text.data() + cell_bytes);
      cell_bytes += cell.size() + 1;
      FUZZ_CHECK(is_well_formed_utf8(cell));
      FUZZ_CHECK(cell.size() <=
                 (column == table.output_column ? MAX_OUTPUT_CELL_LENGTH : MAX_FIELD_CELL_LENGTH));
    }
  }
  FUZZ_CHECK(cell_bytes == table.cell_text.size());
}

// The table as CSV again, every cell quoted, with CR LF line ends.
std::string written(const csv_table& table) {
  const auto append_cell = [](std::string& text, std::string_view cell) {
    text += '"';
    for (const char c : cell) {
      text += c == '"' ? "\"\"" : std::string(1, c);
    }
    text += '"';
  };
  std::string text;
  for (int column = 0; column < table.column_count; ++column) {
    text += column == 0 ? "" : ",";
    append_cell(text, column_name(table, column));
  }
  text += "\r\n";
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    for (int column = 0; column < table.column_count; ++column) {
      text += column == 0 ? "" : ",";
      append_cell(text, table.cell(row, column));
    }
    text += "\r\n";
  }
  return text;
}

// The rows taken, written out again, read back the same; without problems when an output
// column was among them.
void check_round_trip(const csv_table& table) {
  if (table.column_count == 0 || table.row_count() == 0) {
    return;
  }
  const csv_reading again = read_csv_table(written(table));
  const csv_table& read_back = again.table;
  FUZZ_CHECK(again.clean() == (table.output_column >= 0));
  FUZZ_CHECK(read_back.column_count == table.column_count);
  FUZZ_CHECK(std::equal(table.columns, table.columns + table.column_count, read_back.columns));
  FUZZ_CHECK(read_back.row_count() == table.row_count());
  FUZZ_CHECK(read_back.cell_text == table.cell_text);
}

// The value rules take every cell, and duplicates pair an earlier row with a later one.
void check_rules(const csv_table& table) {
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    for (int column = 0; column < table.column_count; ++column) {
      if (column != table.output_column) {
        const std::optional<broken_rule> broken =
            check_value_rules(table.columns[column], table.cell(row, column));
        FUZZ_CHECK(!broken || !broken->text.empty());
      }
    }
  }
  for (const duplicate_value& duplicate : find_duplicate_values(table, MAX_LISTED_PROBLEMS).first) {
    FUZZ_CHECK(duplicate.column >= 0 && duplicate.column < table.column_count);
    FUZZ_CHECK(duplicate.first_line < duplicate.line);
  }
}

// At most the listed number of problems, the rest counted; each on a line of the text, each told
// in a short line of its own.
void check_problems(const csv_reading& reading, std::size_t line_count) {
  FUZZ_CHECK(reading.problems.size() <= MAX_LISTED_PROBLEMS);
  FUZZ_CHECK(reading.problems_not_listed == 0 || reading.problems.size() == MAX_LISTED_PROBLEMS);
  for (const csv_problem& problem : reading.problems) {
    FUZZ_CHECK(problem.line >= 1 && problem.line <= line_count);
    const std::string text = csv_problem_text(problem);
    FUZZ_CHECK(text.find('\n') == std::string::npos);
    FUZZ_CHECK(text.size() < 1024);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t line_count =
      static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  const csv_reading reading = read_csv_table(text);
  check_table(reading, line_count);
  check_round_trip(reading.table);
  check_rules(reading.table);
  check_problems(reading, line_count);
  return 0;
}
