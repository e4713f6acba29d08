// The reader of batch tables: comma-separated values naming, for each image to stamp, its output
// file and the field values it gets.
#pragma once

#include "record/dmi_record.h"
#include "util/item_list.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

// The name of the column that holds each row's output file name.
constexpr std::string_view OUTPUT_COLUMN_NAME = "output";
// The most columns a table can have: each field once, and the output.
constexpr int MAX_CSV_COLUMNS = FIELD_COUNT + 1;

// A table that was read whole. Every row has one cell for each column.
struct csv_table {
  int column_count = 0;
  // The field each column names, in the header's order; the output column holds FIELD_COUNT.
  field_id columns[MAX_CSV_COLUMNS] = {};
  int output_column = -1;
  // The line on which each row starts, counting from 1 (a line end inside a quoted cell counts).
  item_list<std::size_t> row_lines;
  // The cells, row after row, `column_count` to a row, as read: quotes taken off, blanks kept.
  item_list<std::string> cells;

  std::size_t row_count() const {
    return row_lines.size();
  }
  const std::string& cell(std::size_t row, int column) const {
    return cells[row * static_cast<std::size_t>(column_count) + static_cast<std::size_t>(column)];
  }
  // The column naming `field`, or -1 when the table does not set it.
  int column_of(field_id field) const;
};

enum class csv_problem_kind {
  unknown_column,     // a header name that is neither "output" nor a field name
  repeated_column,    // a header name given before in the same header
  no_output_column,   // a header without an "output" column
  wrong_cell_count,   // a row with more or fewer cells than the header
  quote_inside_cell,  // a quote in a cell that does not begin with one
  text_after_quote,   // bytes between a quoted cell's closing quote and the next comma or line end
  unterminated_quote, // a quoted cell that is still open at the end of the table
  bare_carriage_return, // a carriage return outside quotes that no line feed follows
  nul_byte,             // a NUL byte in a cell
  not_utf8,             // bytes that are not well-formed UTF-8 in a cell
  no_header,            // a table without any record
  no_rows,              // a header and no rows
};

// One problem of a table. Each fault of a cell is told once, at the line of its first byte.
struct csv_problem {
  csv_problem_kind kind = csv_problem_kind::no_header;
  // Counting from 1: the line of the fault, or of the record's start for a record's problem.
  std::size_t line = 0;
  // The cell's column counting from 1; 0 when the problem is not in one of the header's columns.
  std::size_t column = 0;
  // For an unknown or repeated column, the name given. For a cell, the name of its column when
  // that is "output" or a field; else empty.
  std::string column_name;
  // For wrong_cell_count: the row's cells and the header's.
  std::size_t cell_count = 0;
  std::size_t header_cell_count = 0;
};

using csv_problem_list = item_list<csv_problem>;

// Reads a batch table from the whole text of its file. The table is comma-separated values as
// spreadsheets write them: cells separated by commas; a cell that begins with a quote runs to the
// next lone quote and may hold commas, line ends and doubled quotes, each standing for one quote;
// records end with LF or CR LF, the last one may have none. The text is UTF-8, with or without a
// byte-order mark at the very start. A line with nothing on it is skipped wherever it is, so an
// empty cell must be written as "" when it is a record's only cell; a line of commas is a row of
// empty cells. Blanks around a comma belong to the cell: they are kept, for the value rules to
// judge (a blank before a quote makes the quote one inside an unquoted cell).
//
// The first record is the header: each cell names a column, "output" (the row's output file) or a
// field, exactly as the field table writes it. Returns the table, or every problem found, in the
// order of the text (a problem found at the end of a row after those of its cells). Prints
// nothing; time and memory grow in proportion to the text.
std::variant<csv_table, csv_problem_list> read_csv_table(std::string_view text);

// One line for a message about `problem`, without a line end, beginning with its line number, e.g.
// "line 4, column system-sku: a quote inside a cell that does not begin with one". Control bytes
// in a column name are escaped.
std::string csv_problem_text(const csv_problem& problem);
