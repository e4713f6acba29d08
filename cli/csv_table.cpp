// Batch table reader.
#include "cli/csv_table.h"

#include "record/text_escape.h"
#include "record/utf8.h"

#include <utility>

namespace {

// A UTF-8 byte-order mark, which some spreadsheets put at the start of a CSV file.
constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

// What a header cell names: a field (its field_id), the output, or nothing the table may hold.
constexpr int OUTPUT_COLUMN = FIELD_COUNT;
constexpr int UNKNOWN_COLUMN = -1;

// The faults of one cell, each the line of its first byte, 0 when the cell has none.
struct cell_faults {
  std::size_t quote_inside = 0;
  std::size_t after_quote = 0;
  std::size_t unterminated = 0;
  std::size_t carriage_return = 0;
  std::size_t nul = 0;
  std::size_t not_utf8 = 0;
};

// One cell as it was read.
struct scanned_cell {
  std::string text;
  std::size_t line = 0; // the line it begins on
  bool ends_record = false;
  cell_faults faults;
};

// Notes the line of a fault unless the cell has that fault already.
void note(std::size_t& fault, std::size_t line) {
  if (fault == 0) {
    fault = line;
  }
}

// Walks the text cell by cell in one pass, counting lines.
class cell_scanner {
public:
  explicit cell_scanner(std::string_view text) : text_(text) {
    if (text_.starts_with(BYTE_ORDER_MARK)) {
      text_.remove_prefix(BYTE_ORDER_MARK.size());
    }
  }

  // Skips lines with nothing on them; returns whether a record follows.
  bool next_record() {
    while (take_line_end()) {
    }
    return pos_ < text_.size();
  }

  std::size_t line() const {
    return line_;
  }

  // Reads the cell at the current place and the comma or line end after it.
  void read_cell(scanned_cell& cell) {
    cell.text.clear();
    cell.line = line_;
    cell.faults = {};
    bool quoted = false;
    if (starts_with("\"")) {
      read_quoted(cell);
      quoted = true;
    }
    read_unquoted(cell, quoted);
    cell.ends_record = !starts_with(",");
    if (cell.ends_record) {
      take_line_end();
    } else {
      ++pos_;
    }
  }

private:
  bool starts_with(std::string_view prefix) const {
    return text_.substr(pos_).starts_with(prefix);
  }

  // The length of the line end at the current place, "\n" or "\r\n", or 0.
  std::size_t line_end_length() const {
    return starts_with("\n") ? 1 : starts_with("\r\n") ? 2 : 0;
  }

  // Takes the line end at the current place; returns whether there was one.
  bool take_line_end() {
    const std::size_t length = line_end_length();
    pos_ += length;
    line_ += length != 0 ? 1 : 0;
    return length != 0;
  }

  // Whether a byte is plain ASCII text, with no meaning to the reader.
  static bool is_plain(char c) {
    return c != ',' && c != '"' && c != '\n' && c != '\r' && c != '\0' &&
           static_cast<unsigned char>(c) < 0x80;
  }

  // Takes a run of plain bytes, or else one byte or a whole UTF-8 sequence, into the cell, noting
  // a NUL or a byte that begins no well-formed sequence.
  void take_character(scanned_cell& cell) {
    const auto byte = static_cast<unsigned char>(text_[pos_]);
    std::size_t length = 1;
    if (is_plain(text_[pos_])) {
      while (pos_ + length < text_.size() && is_plain(text_[pos_ + length])) {
        ++length;
      }
    } else if (byte == '\0') {
      note(cell.faults.nul, line_);
    } else if (byte >= 0x80) {
      length = utf8_multibyte_length(text_.substr(pos_));
      if (length == 0) {
        note(cell.faults.not_utf8, line_);
        length = 1;
      }
    }
    cell.text.append(text_.substr(pos_, length));
    pos_ += length;
  }

  // From the opening quote through the closing one; a quote the table never closes leaves the
  // cell open to the end of the text.
  void read_quoted(scanned_cell& cell) {
    ++pos_;
    for (;;) {
      if (pos_ == text_.size()) {
        note(cell.faults.unterminated, cell.line);
        return;
      }
      if (starts_with("\"\"")) {
        cell.text += '"';
        pos_ += 2;
      } else if (starts_with("\"")) {
        ++pos_;
        return;
      } else if (starts_with("\n")) {
        cell.text += '\n';
        take_line_end();
      } else {
        take_character(cell);
      }
    }
  }

  // Up to the next comma, line end or the end of the text. After a quoted cell, every byte here
  // is out of place; they are kept in the cell all the same.
  void read_unquoted(scanned_cell& cell, bool after_quote) {
    while (pos_ < text_.size() && !starts_with(",") && line_end_length() == 0) {
      if (after_quote) {
        note(cell.faults.after_quote, line_);
      } else if (starts_with("\"")) {
        note(cell.faults.quote_inside, line_);
      } else if (starts_with("\r")) {
        note(cell.faults.carriage_return, line_);
      }
      take_character(cell);
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
};

// Reads the table record by record, gathering its problems.
class table_reader {
public:
  std::variant<csv_table, csv_problem_list> read(std::string_view text) {
    cell_scanner scanner(text);
    if (!scanner.next_record()) {
      add_problem(csv_problem_kind::no_header, scanner.line());
      return std::move(problems_);
    }
    header_line_ = scanner.line();
    read_record(scanner, true);
    check_header();
    while (scanner.next_record()) {
      read_record(scanner, false);
    }
    if (!has_rows_) {
      add_problem(csv_problem_kind::no_rows, header_line_);
    }
    if (!problems_.empty()) {
      return std::move(problems_);
    }
    return std::move(table_);
  }

private:
  // Adds a problem; `column` counts from 1, 0 for a problem that is not in one cell.
  csv_problem& add_problem(csv_problem_kind kind, std::size_t line, std::size_t column = 0) {
    csv_problem problem;
    problem.kind = kind;
    problem.line = line;
    problem.column = column;
    const int named =
        column != 0 && column <= header_.size() ? header_[column - 1] : UNKNOWN_COLUMN;
    if (named == OUTPUT_COLUMN) {
      problem.column_name = OUTPUT_COLUMN_NAME;
    } else if (named != UNKNOWN_COLUMN) {
      problem.column_name = field_name(static_cast<field_id>(named));
    }
    problems_.push_back(std::move(problem));
    return problems_[problems_.size() - 1];
  }

  void add_cell_problems(const scanned_cell& cell, std::size_t column) {
    const std::pair<std::size_t, csv_problem_kind> faults[] = {
        {cell.faults.quote_inside, csv_problem_kind::quote_inside_cell},
        {cell.faults.after_quote, csv_problem_kind::text_after_quote},
        {cell.faults.unterminated, csv_problem_kind::unterminated_quote},
        {cell.faults.carriage_return, csv_problem_kind::bare_carriage_return},
        {cell.faults.nul, csv_problem_kind::nul_byte},
        {cell.faults.not_utf8, csv_problem_kind::not_utf8},
    };
    for (const auto& [line, kind] : faults) {
      if (line != 0) {
        add_problem(kind, line, column);
      }
    }
  }

  // Reads one record. A row keeps no more cells than the header has: the rest are counted only.
  void read_record(cell_scanner& scanner, bool is_header) {
    const std::size_t line = scanner.line();
    std::size_t count = 0;
    row_cells_.clear();
    do {
      scanner.read_cell(cell_);
      // A cell past the header's last has no column.
      const std::size_t column = is_header || count < header_.size() ? count + 1 : 0;
      if (is_header) {
        name_column(cell_);
      }
      add_cell_problems(cell_, column);
      if (!is_header && count < header_.size()) {
        row_cells_.push_back(std::move(cell_.text));
      }
      ++count;
    } while (!cell_.ends_record);
    if (is_header) {
      return;
    }
    has_rows_ = true;
    if (count != header_.size()) {
      csv_problem& problem = add_problem(csv_problem_kind::wrong_cell_count, line);
      problem.cell_count = count;
      problem.header_cell_count = header_.size();
      return;
    }
    table_.row_lines.push_back(line);
    for (std::string& text : row_cells_) {
      table_.cells.push_back(std::move(text));
    }
  }

  // Takes one header cell as the name of the next column.
  void name_column(const scanned_cell& cell) {
    const std::size_t column = header_.size() + 1;
    int named = UNKNOWN_COLUMN;
    if (cell.text == OUTPUT_COLUMN_NAME) {
      named = OUTPUT_COLUMN;
    } else if (cell.text.find('\0') == std::string::npos) {
      named = lookup_field(cell.text.c_str());
    }
    if (named == UNKNOWN_COLUMN) {
      header_.push_back(UNKNOWN_COLUMN);
      add_problem(csv_problem_kind::unknown_column, cell.line, column).column_name = cell.text;
    } else if (seen_[named]) {
      // Not a column the table may hold a second time: its cells are named by the first.
      header_.push_back(UNKNOWN_COLUMN);
      add_problem(csv_problem_kind::repeated_column, cell.line, column).column_name = cell.text;
    } else {
      seen_[named] = true;
      header_.push_back(named);
    }
  }

  // The header once read: the output column is there, and a header that names at most one
  // column of each kind becomes the table's column list.
  void check_header() {
    if (!seen_[OUTPUT_COLUMN]) {
      add_problem(csv_problem_kind::no_output_column, header_line_);
    }
    if (header_.size() > static_cast<std::size_t>(MAX_CSV_COLUMNS)) {
      return;
    }
    table_.column_count = static_cast<int>(header_.size());
    for (int column = 0; column < table_.column_count; ++column) {
      const int named = header_[static_cast<std::size_t>(column)];
      if (named == OUTPUT_COLUMN) {
        table_.output_column = column;
      }
      table_.columns[column] = named == UNKNOWN_COLUMN ? FIELD_COUNT : static_cast<field_id>(named);
    }
  }

  csv_table table_;
  csv_problem_list problems_;
  item_list<int> header_; // what each header cell names
  bool seen_[MAX_CSV_COLUMNS] = {};
  std::size_t header_line_ = 0;
  bool has_rows_ = false; // whether a record followed the header, taken or not
  scanned_cell cell_;
  item_list<std::string> row_cells_;
};

} // namespace

int csv_table::column_of(field_id field) const {
  for (int column = 0; column < column_count; ++column) {
    if (column != output_column && columns[column] == field) {
      return column;
    }
  }
  return -1;
}

std::variant<csv_table, csv_problem_list> read_csv_table(std::string_view text) {
  return table_reader().read(text);
}

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
  const std::string name = "'" + escape_control_bytes(problem.column_name) + "'";
  switch (problem.kind) {
  case csv_problem_kind::unknown_column:
    return text + name + " is neither \"output\" nor a field name";
  case csv_problem_kind::repeated_column:
    return text + name + " names a column a second time";
  case csv_problem_kind::no_output_column:
    return text + "the header names no \"output\" column";
  case csv_problem_kind::wrong_cell_count:
    return text + std::to_string(problem.cell_count) +
           (problem.cell_count == 1 ? " cell" : " cells") + " where the header has " +
           std::to_string(problem.header_cell_count);
  case csv_problem_kind::quote_inside_cell:
    return text + "a quote inside a cell that does not begin with one";
  case csv_problem_kind::text_after_quote:
    return text + "text after the closing quote of a cell";
  case csv_problem_kind::unterminated_quote:
    return text + "a quoted cell that is not closed before the end of the table";
  case csv_problem_kind::bare_carriage_return:
    return text + "a carriage return without a line feed, outside quotes";
  case csv_problem_kind::nul_byte:
    return text + "a NUL byte";
  case csv_problem_kind::not_utf8:
    return text + "bytes that are not UTF-8";
  case csv_problem_kind::no_header:
    return text + "the table is empty: it has no header";
  case csv_problem_kind::no_rows:
    return text + "the table has a header and no rows";
  }
  return text;
}
