// Reading a batch table cell by cell: the separator, quoted cells, line ends, and the faults a cell
// can hold, with a bound on the bytes kept of each cell.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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
  std::string text;       // its first bytes, as many as the reader asked to keep, quotes taken off
  std::size_t length = 0; // all its bytes, quotes taken off, kept or not
  std::size_t line = 0;   // the line it begins on
  bool ends_record = false;
  cell_faults faults;

  bool has_fault() const {
    return faults.quote_inside != 0 || faults.after_quote != 0 || faults.unterminated != 0 ||
           faults.carriage_return != 0 || faults.nul != 0 || faults.not_utf8 != 0;
  }
};

// Whether `text` is UTF-16 rather than UTF-8: it begins with a UTF-16 byte-order mark, or its first
// characters are ASCII with a NUL byte before or after each, as UTF-16 writes them.
bool looks_like_utf16(std::string_view text);

// Walks a table's text cell by cell in one pass, counting lines. A UTF-8 byte-order mark at the
// very start is skipped. Cells are separated by commas, or by semicolons when the first line that
// holds anything has a semicolon and no comma, as spreadsheets save CSV where the comma is the
// decimal sign.
class cell_scanner {
public:
  explicit cell_scanner(std::string_view text);

  // The byte between cells: ',' or ';'.
  char separator() const {
    return separator_;
  }
  std::size_t line() const {
    return line_;
  }

  // Skips empty lines and lines of separators alone (rows of empty cells, as spreadsheets leave
  // at the end of a sheet); returns whether a record follows.
  bool next_record();

  // Reads the cell at the current place and the separator or line end after it, keeping at most
  // `limit` of its bytes: time grows with the cell, memory only up to `limit`.
  void read_cell(scanned_cell& cell, std::size_t limit);

private:
  bool starts_with(std::string_view prefix) const {
    return text_.substr(pos_).starts_with(prefix);
  }
  bool at_separator() const {
    return pos_ < text_.size() && text_[pos_] == separator_;
  }
  std::size_t line_end_length() const;
  bool take_line_end();
  bool take_separator_line();
  bool is_plain(char c) const;
  void keep(scanned_cell& cell, std::string_view bytes);
  void take_character(scanned_cell& cell);
  void read_quoted(scanned_cell& cell);
  void read_unquoted(scanned_cell& cell, bool after_quote);

  std::string_view text_;
  char separator_ = ',';
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  std::size_t limit_ = 0;
};
