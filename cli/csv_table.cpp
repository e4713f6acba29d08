// Batch table reader.
#include "cli/csv_table.h"

#include "cli/csv_cells.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// What a header cell names, besides a column kept (its index in the table): a note, or nothing
// the table may hold.
constexpr signed char NOTE_COLUMN = -2;
constexpr signed char NOT_KEPT = -1;

// The most bytes kept of a header cell: more than any name with blanks around it.
constexpr std::size_t MAX_HEADER_CELL_KEPT = 255;
// The most bytes of a name given that a message quotes.
constexpr std::size_t MAX_QUOTED_NAME = 40;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// A header cell as a column name, as people type it: blanks around it taken off, ASCII letters
// in lower case, '_' and blanks inside as '-'.
std::string normalized_name(std::string_view cell) {
  while (!cell.empty() && is_blank(cell.front())) {
    cell.remove_prefix(1);
  }
  while (!cell.empty() && is_blank(cell.back())) {
    cell.remove_suffix(1);
  }
  std::string name(cell);
  for (char& c : name) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    c = c == '_' || is_blank(c) ? '-' : c;
  }
  return name;
}

// A name given, as a message quotes it: its first bytes, cut where a character starts, and "..."
// when there were more.
std::string quoted_name(std::string_view name, std::size_t length) {
  if (length <= MAX_QUOTED_NAME && name.size() == length) {
    return std::string(name);
  }
  std::size_t cut = std::min(name.size(), MAX_QUOTED_NAME);
  while (cut > 0 && cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return std::string(name.substr(0, cut)) + "...";
}

// Reads the table record by record, gathering its problems.
class table_reader {
public:
  explicit table_reader(std::size_t max_rows) : max_rows_(max_rows) {}

  csv_reading read(std::string_view text) {
    if (looks_like_utf16(text)) {
      add_problem(csv_problem_kind::utf16, 1);
      return std::move(reading_);
    }
    cell_scanner scanner(text);
    reading_.table.separator = scanner.separator();
    if (!scanner.next_record()) {
      add_problem(csv_problem_kind::no_header, scanner.line());
      return std::move(reading_);
    }
    // Every cell kept is shorter than its place in the text, which also holds a separator or a
    // line end after it: the cells never move as the table grows.
    reading_.table.cell_text.reserve(text.size() + 1);
    const std::size_t header_line = scanner.line();
    read_header(scanner, header_line);
    bool has_rows = false; // whether a record followed the header, taken or not
    while (scanner.next_record()) {
      if (reading_.table.row_count() == max_rows_) {
        add_problem(csv_problem_kind::too_many_rows, scanner.line()).limit = max_rows_;
        return std::move(reading_);
      }
      read_row(scanner);
      has_rows = true;
    }
    if (!has_rows) {
      add_problem(csv_problem_kind::no_rows, header_line);
    }
    return std::move(reading_);
  }

private:
  // Adds a problem; `column` counts from 1, 0 for a problem that is not in one cell. Past the
  // listed ones, the problem is only counted (and the one returned is thrown away).
  csv_problem& add_problem(csv_problem_kind kind, std::size_t line, std::size_t column = 0) {
    if (reading_.problems.size() == MAX_LISTED_PROBLEMS) {
      ++reading_.problems_not_listed;
      unlisted_ = {};
      return unlisted_;
    }
    csv_problem problem;
    problem.kind = kind;
    problem.line = line;
    problem.column = column;
    const int kept = column != 0 && column <= header_.size() ? header_[column - 1] : NOT_KEPT;
    if (kept >= 0) {
      const field_id field = reading_.table.columns[kept];
      problem.column_name = field == FIELD_COUNT ? OUTPUT_COLUMN_NAME : field_name(field);
    }
    reading_.problems.push_back(std::move(problem));
    return reading_.problems[reading_.problems.size() - 1];
  }

  // Adds the faults of a cell as problems; a note's cell is held to the table's form alone, as its
  // bytes are never used. Returns whether the cell has a fault that counts.
  bool add_cell_problems(const scanned_cell& cell, std::size_t column, bool is_note) {
    const std::pair<std::size_t, csv_problem_kind> faults[] = {
        {cell.faults.quote_inside, csv_problem_kind::quote_inside_cell},
        {cell.faults.after_quote, csv_problem_kind::text_after_quote},
        {cell.faults.unterminated, csv_problem_kind::unterminated_quote},
        {cell.faults.carriage_return, csv_problem_kind::bare_carriage_return},
        {is_note ? 0 : cell.faults.nul, csv_problem_kind::nul_byte},
        {is_note ? 0 : cell.faults.not_utf8, csv_problem_kind::not_utf8},
    };
    bool found = false;
    for (const auto& [line, kind] : faults) {
      if (line != 0) {
        add_problem(kind, line, column);
        found = true;
      }
    }
    return found;
  }

  // The most bytes a cell of header column `kept` may hold, 0 for a column not kept.
  std::size_t cell_limit(int kept) const {
    if (kept < 0) {
      return 0;
    }
    const field_id field = reading_.table.columns[kept];
    return field == FIELD_COUNT         ? MAX_OUTPUT_CELL_LENGTH
           : field == FIELD_SYSTEM_UUID ? MAX_UUID_CELL_LENGTH
                                        : MAX_FIELD_CELL_LENGTH;
  }

  void read_header(cell_scanner& scanner, std::size_t line) {
    do {
      scanner.read_cell(cell_, MAX_HEADER_CELL_KEPT);
      name_column(cell_);
      add_cell_problems(cell_, header_.size(), header_[header_.size() - 1] == NOTE_COLUMN);
    } while (!cell_.ends_record);
    if (reading_.table.output_column < 0) {
      add_problem(csv_problem_kind::no_output_column, line);
    }
  }

  // Takes one header cell as the name of the next column.
  void name_column(const scanned_cell& cell) {
    const std::size_t column = header_.size() + 1;
    const std::string name = normalized_name(cell.text);
    if (name.starts_with('#')) {
      header_.push_back(NOTE_COLUMN);
      return;
    }
    int named = -1; // a field, FIELD_COUNT for the output, or -1
    if (cell.length == cell.text.size() && name.find('\0') == std::string::npos) {
      named = name == OUTPUT_COLUMN_NAME ? FIELD_COUNT : lookup_field(name.c_str());
    }
    csv_table& table = reading_.table;
    if (named < 0 || holds(named)) {
      // Not a column the table may hold, or one it holds already: its cells are not kept.
      header_.push_back(NOT_KEPT);
      add_problem(named < 0 ? csv_problem_kind::unknown_column : csv_problem_kind::repeated_column,
                  cell.line, column)
          .column_name = quoted_name(cell.text, cell.length);
      return;
    }
    header_.push_back(static_cast<signed char>(table.column_count));
    table.output_column = named == FIELD_COUNT ? table.column_count : table.output_column;
    table.columns[table.column_count++] = static_cast<field_id>(named);
  }

  // Reads one row. A row keeps no more cells than the header has: the rest are counted only. A
  // row that is not taken leaves nothing in the table.
  void read_row(cell_scanner& scanner) {
    const std::size_t line = scanner.line();
    csv_table& table = reading_.table;
    const std::size_t start = table.cell_text.size();
    std::size_t count = 0;
    bool faulty = false;
    do {
      const int kept = count < header_.size() ? header_[count] : NOT_KEPT;
      scanner.read_cell(cell_, cell_limit(kept));
      // A cell past the header's last has no column.
      const std::size_t column = count < header_.size() ? count + 1 : 0;
      faulty |= add_cell_problems(cell_, column, kept == NOTE_COLUMN);
      if (kept >= 0) {
        faulty |= check_length(cell_, column, cell_limit(kept));
        table.cell_text += cell_.text;
        table.cell_text += '\0';
      }
      ++count;
    } while (!cell_.ends_record);
    if (count != header_.size()) {
      csv_problem& problem = add_problem(csv_problem_kind::wrong_cell_count, line);
      problem.cell_count = count;
      problem.header_cell_count = header_.size();
      faulty = true;
    }
    if (faulty) {
      table.cell_text.resize(start);
      return;
    }
    table.row_lines.push_back(line);
    table.row_starts.push_back(start);
  }

  // Whether the table keeps a column naming `named` already (a field, or FIELD_COUNT).
  bool holds(int named) const {
    const csv_table& table = reading_.table;
    return std::find(table.columns, table.columns + table.column_count, named) !=
           table.columns + table.column_count;
  }

  // A cell longer than `limit` is a problem; returns whether it is one.
  bool check_length(const scanned_cell& cell, std::size_t column, std::size_t limit) {
    if (cell.length <= limit) {
      return false;
    }
    csv_problem& problem = add_problem(csv_problem_kind::cell_too_long, cell.line, column);
    problem.length = cell.length;
    problem.limit = limit;
    return true;
  }

  std::size_t max_rows_;
  csv_reading reading_;
  csv_problem unlisted_;
  // What each header cell names: the table's column, NOTE_COLUMN or NOT_KEPT. A byte each, as a
  // header may hold as many cells as its line has bytes.
  item_list<signed char> header_;
  scanned_cell cell_;
};

} // namespace

std::string_view csv_table::cell(std::size_t row, int column) const {
  const char* text = cell_text.data() + row_starts[row];
  for (int skipped = 0; skipped < column; ++skipped) {
    text += std::strlen(text) + 1;
  }
  return text;
}

int csv_table::column_of(field_id field) const {
  for (int column = 0; column < column_count; ++column) {
    if (column != output_column && columns[column] == field) {
      return column;
    }
  }
  return -1;
}

csv_reading read_csv_table(std::string_view text, std::size_t max_rows) {
  return table_reader(max_rows).read(text);
}
