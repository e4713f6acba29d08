// The reader of batch tables: comma-separated values naming, for each image to stamp, its output
// file and the field values it gets.
#pragma once

#include "record/dmi_record.h"
#include "util/item_list.h"

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

// The name of the column that holds each row's output file name.
constexpr std::string_view OUTPUT_COLUMN_NAME = "output";
// The most columns a table keeps: each field once, and the output.
constexpr int MAX_CSV_COLUMNS = FIELD_COUNT + 1;
// The longest cell each kind of column takes: a field's text must fit in the record beside an
// empty text, a UUID is written in 36 characters, an output is one file name.
constexpr std::size_t MAX_FIELD_CELL_LENGTH = DMI_TEXT_CAPACITY - 1;
constexpr std::size_t MAX_UUID_CELL_LENGTH = 36;
constexpr std::size_t MAX_OUTPUT_CELL_LENGTH = NAME_MAX;
// The most problems a reading lists; the others are counted. A table of a million bad lines is
// told by its first ones as well as by all of them, in far less output.
constexpr std::size_t MAX_LISTED_PROBLEMS = 100;
// The most rows a table may have, a million images being more than any batch makes: the cost of
// reading and checking a table stays bounded by it, whatever its lines hold.
constexpr std::size_t MAX_CSV_ROWS = 1000000;

// The rows of a table that could be taken. Every row has one cell for each column kept.
struct csv_table {
  // The byte between cells: ',' or, for a table saved with semicolons, ';'.
  char separator = ',';
  // The columns kept: the output and the fields, each once, in the header's order. Note columns,
  // and columns the header names wrongly or a second time, are not kept.
  int column_count = 0;
  // The field each column names; the output column holds FIELD_COUNT.
  field_id columns[MAX_CSV_COLUMNS] = {};
  // The output column, or -1 when the header names none (the reading then has a problem).
  int output_column = -1;
  // The line on which each row starts, counting from 1 (a line end inside a quoted cell counts).
  item_list<std::size_t> row_lines;
  // The cells, row after row, `column_count` to a row, as read (quotes taken off, blanks kept),
  // each followed by a NUL byte: one string for the whole table, as a string for each cell would
  // cost more than the text of most cells.
  std::string cell_text;
  // Where each row's first cell starts in `cell_text`.
  item_list<std::size_t> row_starts;

  std::size_t row_count() const {
    return row_lines.size();
  }
  // A cell's text; a NUL byte follows it, so its data() is a C string.
  std::string_view cell(std::size_t row, int column) const;
  // The column naming `field`, or -1 when the table does not set it.
  int column_of(field_id field) const;
};

enum class csv_problem_kind {
  unknown_column,       // a header name that is neither "output" nor a field name, nor a note
  repeated_column,      // a header name given before in the same header
  no_output_column,     // a header without an "output" column
  wrong_cell_count,     // a row with more or fewer cells than the header
  quote_inside_cell,    // a quote in a cell that does not begin with one
  text_after_quote,     // bytes between a quoted cell's closing quote and the next separator
  unterminated_quote,   // a quoted cell that is still open at the end of the table
  bare_carriage_return, // a carriage return outside quotes that no line feed follows
  nul_byte,             // a NUL byte in a cell
  not_utf8,             // bytes that are not well-formed UTF-8 in a cell
  no_header,            // a table without any record
  no_rows,              // a header and no rows
  cell_too_long,        // a cell longer than its column takes
  utf16,                // a table saved as UTF-16
  too_many_rows,        // a row past the most a table may have (the rest is not read)
};

// One problem of a table. Each fault of a cell is told once, at the line of its first byte.
struct csv_problem {
  csv_problem_kind kind = csv_problem_kind::no_header;
  // Counting from 1: the line of the fault, or of the record's start for a record's problem.
  std::size_t line = 0;
  // The cell's column counting from 1; 0 when the problem is not in one of the header's columns.
  std::size_t column = 0;
  // For an unknown or repeated column, the name given, cut short after its first bytes (then
  // ending in "..."). For a cell, the name of its column when that is "output" or a field; else
  // empty.
  std::string column_name;
  // For wrong_cell_count: the row's cells and the header's.
  std::size_t cell_count = 0;
  std::size_t header_cell_count = 0;
  // For cell_too_long: the cell's bytes and the most its column takes.
  std::size_t length = 0;
  std::size_t limit = 0;
};

using csv_problem_list = item_list<csv_problem>;

// What reading a table gave: the rows it could take, and every problem found.
struct csv_reading {
  csv_table table;
  // The first MAX_LISTED_PROBLEMS problems, in the order of the text (a problem found at the end
  // of a row after those of its cells).
  csv_problem_list problems;
  // How many more problems were found and not listed.
  std::size_t problems_not_listed = 0;

  bool clean() const {
    return problems.empty();
  }
};

// Reads a batch table from the whole text of its file. The table is comma-separated values as
// spreadsheets write them: cells separated by commas (or semicolons, see cell_scanner); a cell that
// begins with a quote runs to the next lone quote and may hold separators, line ends and doubled
// quotes, each standing for one quote; records end with LF or CR LF, the last one may have none.
// The text is UTF-8, with or without a byte-order mark at the very start; UTF-16 is refused whole.
// A line with nothing on it, or with separators alone, is skipped wherever it is, so an empty cell
// must be written as "" when it is a record's only cell. Blanks around a separator belong to the
// cell: they are kept, for the value rules to judge (a blank before a quote makes the quote one
// inside an unquoted cell).
//
// The first record is the header: each cell names a column, "output" (the row's output file) or a
// field as the field table writes it, without regard to ASCII letter case, with '_' or a blank
// standing for '-' and blanks around the name ignored; a name beginning with '#' marks a note
// column, whose cells are read for the table's form alone. A row is taken when it has as many
// cells as the header and none of them has a fault; its cells in the columns kept are kept, none
// longer than its column takes (see MAX_FIELD_CELL_LENGTH). Every other row, and every problem,
// is still read, so one reading names them all. Prints nothing; time grows in proportion to the
// text and memory to the rows taken.
csv_reading read_csv_table(std::string_view text, std::size_t max_rows = MAX_CSV_ROWS);

// One line for a message about `problem`, without a line end, beginning with its line number, e.g.
// "line 4, column system-sku: a quote inside a cell that does not begin with one". Control bytes
// in a column name are escaped.
std::string csv_problem_text(const csv_problem& problem);
