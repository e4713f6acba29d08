// The input is a batch table; whatever it holds, the reader returns a sound table or problems that
// name lines of the text, and a table written out again reads back the same.
#include "cli/csv_table.h"
#include "cli/value_rules.h"
#include "fuzz/record_invariants.h"
#include "record/utf8.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

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

// Every row has a cell for each column, rows start on increasing lines within the text, each
// column is named once, and no cell holds a NUL or bytes that are not UTF-8.
void check_table(const csv_table& table, std::size_t line_count) {
  FUZZ_CHECK(table.column_count >= 1 && table.column_count <= MAX_CSV_COLUMNS);
  FUZZ_CHECK(table.output_column >= 0 && table.output_column < table.column_count);
  FUZZ_CHECK(table.columns[table.output_column] == FIELD_COUNT);
  for (int column = 0; column < table.column_count; ++column) {
    if (column != table.output_column) {
      FUZZ_CHECK(table.columns[column] < FIELD_COUNT);
      FUZZ_CHECK(table.column_of(table.columns[column]) == column);
    }
  }
  FUZZ_CHECK(table.row_count() >= 1);
  FUZZ_CHECK(table.cells.size() ==
             table.row_count() * static_cast<std::size_t>(table.column_count));
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    FUZZ_CHECK(table.row_lines[row] >= 2 && table.row_lines[row] <= line_count);
    FUZZ_CHECK(row == 0 || table.row_lines[row] > table.row_lines[row - 1]);
  }
  for (const std::string& cell : table.cells) {
    FUZZ_CHECK(cell.find('\0') == std::string::npos);
    FUZZ_CHECK(is_well_formed_utf8(cell));
  }
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

void check_round_trip(const csv_table& table) {
  auto again = read_csv_table(written(table));
  const auto* read_back = std::get_if<csv_table>(&again);
  FUZZ_CHECK(read_back != nullptr);
  FUZZ_CHECK(read_back->column_count == table.column_count);
  FUZZ_CHECK(std::equal(table.columns, table.columns + table.column_count, read_back->columns));
  FUZZ_CHECK(read_back->row_count() == table.row_count());
  FUZZ_CHECK(std::equal(table.cells.begin(), table.cells.end(), read_back->cells.begin()));
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
  for (const duplicate_value& duplicate : find_duplicate_values(table)) {
    FUZZ_CHECK(duplicate.column >= 0 && duplicate.column < table.column_count);
    FUZZ_CHECK(duplicate.first_line < duplicate.line);
  }
}

// At least one problem, each on a line of the text, each told in a line of its own.
void check_problems(const csv_problem_list& problems, std::size_t line_count) {
  FUZZ_CHECK(!problems.empty());
  for (const csv_problem& problem : problems) {
    FUZZ_CHECK(problem.line >= 1 && problem.line <= line_count);
    FUZZ_CHECK(csv_problem_text(problem).find('\n') == std::string::npos);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t line_count =
      static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  auto result = read_csv_table(text);
  if (const auto* table = std::get_if<csv_table>(&result)) {
    check_table(*table, line_count);
    check_round_trip(*table);
    check_rules(*table);
  } else {
    check_problems(std::get<csv_problem_list>(result), line_count);
  }
  return 0;
}
