// Tests of the batch table reader: the forms of comma-separated values it takes, the line numbers
// of rows, and every problem of a bad table.
#include "cli/csv_table.h"
#include "record/text_escape.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

// The table's rows as "LINE:cell|cell ..." and its columns as "name,name".
std::string rows_of(const csv_table& table) {
  std::string shown;
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    shown += shown.empty() ? "" : " ";
    shown += std::to_string(table.row_lines[row]) + ":";
    for (int column = 0; column < table.column_count; ++column) {
      shown += (column == 0 ? "" : "|") + std::string(table.cell(row, column));
    }
  }
  return shown;
}

std::string columns_of(const csv_table& table) {
  std::string shown;
  for (int column = 0; column < table.column_count; ++column) {
    shown += column == 0 ? "" : ",";
    shown += column == table.output_column ? "output" : field_name(table.columns[column]);
  }
  return shown;
}

// The problem kinds' names, in the order of csv_problem_kind.
const char* const KIND_NAMES[] = {
    "unknown_column",     "repeated_column",
    "no_output_column",   "wrong_cell_count",
    "quote_inside_cell",  "text_after_quote",
    "unterminated_quote", "bare_carriage_return",
    "nul_byte",           "not_utf8",
    "no_header",          "no_rows",
    "cell_too_long",      "utf16",
};
static_assert(std::size(KIND_NAMES) == static_cast<std::size_t>(csv_problem_kind::utf16) + 1);

// The problems as "LINE:COLUMN:kind(name)", space-separated; "(name)" only when there is one,
// its control bytes escaped.
std::string problems_of(const csv_problem_list& problems) {
  std::string shown;
  for (const csv_problem& problem : problems) {
    shown += shown.empty() ? "" : " ";
    shown += std::to_string(problem.line) + ":" + std::to_string(problem.column) + ":" +
             KIND_NAMES[static_cast<int>(problem.kind)];
    if (!problem.column_name.empty()) {
      shown += "(" + escape_control_bytes(problem.column_name) + ")";
    }
  }
  return shown;
}

// What reading `text` gave: the rows of a clean table, or the problems after "problems: ".
std::string read(const std::string& text) {
  const csv_reading reading = read_csv_table(text);
  if (reading.clean()) {
    return rows_of(reading.table);
  }
  return "problems: " + problems_of(reading.problems);
}

// All of a literal's bytes, NUL bytes included, less its final NUL.
template <std::size_t N> std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct read_case {
  const char* what;
  std::string text;
  std::string expected;
};

TEST(CsvTable, ReadsTheFormsOfCommaSeparatedValues) {
  const std::vector<read_case> cases = {
      {"line feeds", "output,system-sku\na.rom,S1\nb.rom,S2\n", "2:a.rom|S1 3:b.rom|S2"},
      {"no line end after the last row", "output,system-sku\na.rom,S1\nb.rom,S2",
       "2:a.rom|S1 3:b.rom|S2"},
      {"CR LF", "output,system-sku\r\na.rom,S1\r\nb.rom,S2\r\n", "2:a.rom|S1 3:b.rom|S2"},
      {"byte-order mark", "\xEF\xBB\xBFoutput,system-sku\na.rom,S1\n", "2:a.rom|S1"},
      {"quoted cells with commas and doubled quotes",
       "\"output\",system-sku\n\"a,b.rom\",\"say \"\"hi\"\"\"\n", "2:a,b.rom|say \"hi\""},
      {"quoted: empty, a doubled quote alone, one before the closing quote",
       "output,system-sku,system-version\n\"\",\"\"\"\",\"a\"\"\"\n", "2:|\"|a\""},
      {"line ends inside quotes move the next row's line",
       "output,system-sku\n\"a\nb\nc\",S1\nd,\"e\r\nf\"\ng,S3\n", "2:a\nb\nc|S1 5:d|e\r\nf 7:g|S3"},
      {"empty lines anywhere are skipped and counted",
       "\n\r\noutput,system-sku\n\na,S1\r\n\r\n\nb,S2\n\n", "5:a|S1 8:b|S2"},
      {"lines of commas alone are skipped, however many",
       "output,system-sku,system-version\n,,\na,b,c\r\n,,,,\r\n,\n,,", "3:a|b|c"},
      {"a row of quoted empty cells is a row", "output,system-sku\n\"\",\"\"\n", "2:|"},
      {"an empty last cell without a line end", "output,system-sku\na,", "2:a|"},
      {"blanks around commas belong to the cell", "output,system-sku\n a.rom , S1\t\n",
       "2: a.rom | S1\t"},
      {"well-formed UTF-8 is kept", "output,system-manufacturer\na,M\xC3\xBCller \xE2\x82\xAC\n",
       "2:a|M\xC3\xBCller \xE2\x82\xAC"},
      {"an only column needs quotes for an empty cell", "output\n\"\"\n\nb\n", "2: 4:b"},
      {"a carriage return inside quotes is kept", "output\n\"a\rb\"\n", "2:a\rb"},
  };
  for (const read_case& c : cases) {
    EXPECT_EQ(read(c.text), c.expected) << c.what;
  }
}

TEST(CsvTable, NamesColumnsByFieldAndFindsTheOutput) {
  const csv_reading reading =
      read_csv_table("system-uuid,chassis-asset-tag,output,system-serial-number\n"
                     "u,t,o,s\n");
  ASSERT_TRUE(reading.clean());
  const csv_table* table = &reading.table;
  EXPECT_EQ(columns_of(*table), "system-uuid,chassis-asset-tag,output,system-serial-number");
  EXPECT_EQ(table->output_column, 2);
  EXPECT_EQ(table->column_of(FIELD_SYSTEM_UUID), 0);
  EXPECT_EQ(table->column_of(FIELD_SYSTEM_SERIAL_NUMBER), 3);
  EXPECT_EQ(table->column_of(FIELD_BOARD_SERIAL_NUMBER), -1);
  // The output column holds FIELD_COUNT, which no field asks for.
  EXPECT_EQ(table->column_of(FIELD_COUNT), -1);
}

TEST(CsvTable, ReadsAHeaderOfEveryColumnAndALargeTableWhole) {
  std::string header = "output";
  for (const struct option* entry = dmi_fields; entry->name != nullptr; ++entry) {
    header += std::string(",") + entry->name;
  }
  std::string text = header + "\n";
  constexpr std::size_t ROWS = 10000;
  for (std::size_t row = 0; row < ROWS; ++row) {
    text += std::to_string(row) + ".rom,\"M\nN\",,,,,,,,,,,,,\n";
  }
  // A cell as long as a field takes, in quotes and doubled quotes.
  text += "last.rom,\"" + std::string(MAX_FIELD_CELL_LENGTH - 21, 'x') + std::string(42, '"') +
          "\",,,,,,,,,,,,,";
  const csv_reading reading = read_csv_table(text);
  ASSERT_TRUE(reading.clean());
  const csv_table* table = &reading.table;
  EXPECT_EQ(table->column_count, MAX_CSV_COLUMNS);
  ASSERT_EQ(table->row_count(), ROWS + 1);
  EXPECT_EQ(table->row_lines[ROWS - 1], 2 * ROWS);
  EXPECT_EQ(table->cell(ROWS - 1, 1), "M\nN");
  EXPECT_EQ(table->row_lines[ROWS], 2 * ROWS + 2);
  EXPECT_EQ(table->cell(ROWS, 1),
            std::string(MAX_FIELD_CELL_LENGTH - 21, 'x') + std::string(21, '"'));
}

TEST(CsvTable, ListsEveryProblemOfABadTable) {
  const std::vector<read_case> cases = {
      {"names as typed twice, an empty name, near misses",
       "output,Output, output,,System SKU,system-skus,system--sku\na,b,c,d,e,f,g\n",
       "1:2:repeated_column(Output) 1:3:repeated_column( output) 1:4:unknown_column "
       "1:6:unknown_column(system-skus) 1:7:unknown_column(system--sku)"},
      {"columns named twice", "output,system-sku,output,system-sku\na,b,c,d\n",
       "1:3:repeated_column(output) 1:4:repeated_column(system-sku)"},
      {"no output column", "system-sku,system-version\na,b\n", "1:0:no_output_column"},
      {"no output column in a header of two lines, at its first",
       "\nsystem-sku,\"system\nversion\"\na,b\n",
       "2:2:unknown_column(system\\012version) 2:0:no_output_column"},
      {"rows with fewer and more cells than the header",
       "output,system-sku\na\nb,c\nd,e,f\n\"g\nh\",i,j,k\n",
       "2:0:wrong_cell_count 4:0:wrong_cell_count 5:0:wrong_cell_count"},
      {"a quote inside an unquoted cell, also after a blank",
       "output,system-sku\na\"b,c\n \"d\",e\n",
       "2:1:quote_inside_cell(output) 3:1:quote_inside_cell(output)"},
      {"text after a closing quote", "output,system-sku\n\"a\"b,c\nd,\"e\" \n",
       "2:1:text_after_quote(output) 3:2:text_after_quote(system-sku)"},
      {"a quoted cell never closed, at the line it opens",
       "output,system-sku\na,S1\nb,\"S2\nc,S3\n", "3:2:unterminated_quote(system-sku)"},
      {"an unterminated quote in the header", "output,\"system-sku\n",
       "1:2:unknown_column(system-sku\\012) 1:2:unterminated_quote 1:0:no_rows"},
      {"a carriage return without a line feed", "output,system-sku\na\rb,c\nd,e\r",
       "2:1:bare_carriage_return(output) 3:2:bare_carriage_return(system-sku)"},
      {"NUL bytes, in a row and in the header, told once a cell",
       bytes("output,system-sku\na\0\0,b\nc,\"\n\0\"\n"),
       "2:1:nul_byte(output) 4:2:nul_byte(system-sku)"},
      {"a NUL byte in a header name", bytes("output,system-sku\0\na,b\n"),
       "1:2:unknown_column(system-sku\\000) 1:2:nul_byte"},
      {"bytes that are not UTF-8: stray, overlong, a surrogate, cut short at the end",
       "output,system-sku\n\xFF,a\nb,\xC0\xAF\n\xED\xA0\x80,c\nd,\xE2\x82",
       "2:1:not_utf8(output) 3:2:not_utf8(system-sku) 4:1:not_utf8(output) "
       "5:2:not_utf8(system-sku)"},
      {"Latin-1 in a header name", "output,system-manufacturer\xE9\na,b\n",
       "1:2:unknown_column(system-manufacturer\xE9) 1:2:not_utf8"},
      {"an empty table", "", "1:0:no_header"},
      {"only a byte-order mark and empty lines", "\xEF\xBB\xBF\n\r\n", "3:0:no_header"},
      {"a header and no rows", "\noutput,system-sku\n\n", "2:0:no_rows"},
      {"faults beyond the header's last column still count", "output\na,\"b\"c,d\xFF\n",
       "2:0:text_after_quote 2:0:not_utf8 2:0:wrong_cell_count"},
      {"problems on many lines, each listed, in the order of the text",
       "output,system-sku,serial\na,b\n\"c\nd\",e\"f,g\nh,i,j\n",
       "1:3:unknown_column(serial) 2:0:wrong_cell_count 4:2:quote_inside_cell(system-sku)"},
  };
  for (const read_case& c : cases) {
    EXPECT_EQ(read(c.text), "problems: " + c.expected) << c.what;
  }
}

TEST(CsvTable, ProblemTextsNameTheLineAndTheColumn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"output,sku\x1b\na,b\n",
       "line 1, column 2: 'sku\\033' is neither \"output\" nor a field name (the names taken: "
       "output, system-manufacturer, system-product-name, system-version, system-serial-number, "
       "system-uuid, system-sku, board-manufacturer, board-product-name, board-version, "
       "board-serial-number, chassis-manufacturer, chassis-version, chassis-serial-number, "
       "chassis-asset-tag; letter case aside, with '_' or a blank for '-'); a name beginning "
       "with '#' marks a note column, which is ignored"},
      {"output,output\na,b\n", "line 1, column 2: 'output' names a column a second time"},
      {"system-sku\na\n", "line 1: the header names no \"output\" column"},
      {"output,system-sku\na\n", "line 2: 1 cell where the header has 2"},
      {"output,system-sku\na,b,c\n", "line 2: 3 cells where the header has 2"},
      {"output,system-sku\na,b\"\n",
       "line 2, column system-sku: a quote inside a cell that does not begin with one"},
      {"output\n\"a\n", "line 2, column output: a quoted cell that is not closed before the end "
                        "of the table"},
      {"", "line 1: the table is empty: it has no header"},
      {"output\n" + std::string(300, 'a') + "\n",
       "line 2, column output: a cell of 300 bytes, longer than the 255 this column takes"},
      {"\xFF\xFEo\0u\0",
       "line 1: the table is UTF-16 text, which is not taken: save it as UTF-8 (in a spreadsheet, "
       "as \"CSV UTF-8\")"},
  };
  for (const auto& [text, expected] : cases) {
    const csv_reading reading = read_csv_table(text);
    ASSERT_FALSE(reading.clean()) << text;
    EXPECT_EQ(csv_problem_text(reading.problems[0]), expected) << text;
  }
}

// Headers as spreadsheet users type them name the same columns; a '#' column is a note, whose cells
// are neither kept nor held to anything but the table's form.
TEST(CsvTable, TakesHeadersAsTypedAndLeavesNoteColumnsOut) {
  const struct {
    const char* what;
    std::string text;
    std::string columns;
    std::string rows;
  } cases[] = {
      {"letter case, '_', blanks inside and around",
       "OUTPUT,System_Serial_Number,\tChassis Asset-Tag \r\na,b,c\r\n",
       "output,system-serial-number,chassis-asset-tag", "2:a|b|c"},
      {"notes anywhere, their cells anything but a broken form",
       bytes("# Notes,output, #2,system-sku,#\na\xFF,b,\0,c,\"d,e\"\n"), "output,system-sku",
       "2:b|c"},
  };
  for (const auto& c : cases) {
    const csv_reading reading = read_csv_table(c.text);
    EXPECT_TRUE(reading.clean()) << c.what << ": " << problems_of(reading.problems);
    EXPECT_EQ(columns_of(reading.table), c.columns) << c.what;
    EXPECT_EQ(rows_of(reading.table), c.rows) << c.what;
  }
  // A note's quotes must still close: the form of the whole table depends on them.
  EXPECT_EQ(read("output,#note\na,\"b\nc,d\n"), "problems: 2:2:unterminated_quote");
}

// Semicolons separate the cells when the header's line has one and no comma; the table says so.
TEST(CsvTable, ReadsTablesSavedWithSemicolons) {
  const struct {
    std::string text;
    char separator;
    std::string rows;
  } cases[] = {
      {"output;system-sku;chassis-asset-tag\r\na.rom;S,1;\"Rack; 2\"\r\n;;\r\n", ';',
       "2:a.rom|S,1|Rack; 2"},
      {"\xEF\xBB\xBF\r\n\r\noutput;system-sku\nb;S2\n", ';', "4:b|S2"},
      {"output,system-sku\na;b,S;3\n", ',', "2:a;b|S;3"},
      {"output,\"system;sku\"\na,b\n", ',', "problems: 1:2:unknown_column(system;sku)"},
      {"output\na;b\n", ',', "2:a;b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read(c.text), c.rows) << c.text;
    EXPECT_EQ(read_csv_table(c.text).table.separator, c.separator) << c.text;
  }
}

TEST(CsvTable, RefusesUtf16Whole) {
  const std::string utf16[] = {
      bytes("\xFF\xFEo\0u\0t\0p\0u\0t\0\n\0"), // byte-order mark, little-endian
      bytes("\xFE\xFF\0o\0u\0t\0p\0u\0t\0\n"), // byte-order mark, big-endian
      bytes("o\0u\0t\0p\0u\0t\0,\0s\0"),       // no mark, little-endian
      bytes("\0o\0u\0t\0p\0u\0t"),             // no mark, big-endian
  };
  for (const std::string& text : utf16) {
    EXPECT_EQ(read(text), "problems: 1:0:utf16") << escape_control_bytes(text);
  }
  // A NUL byte or two in UTF-8 text is a fault of its cell, not UTF-16.
  EXPECT_EQ(read(bytes("o\0\n")),
            "problems: 1:1:unknown_column(o\\000) 1:1:nul_byte 1:0:no_output_column 1:0:no_rows");
  EXPECT_EQ(read(bytes("output\na\0b\0c\0\n")), "problems: 2:1:nul_byte(output)");
}

// The rows that can be taken are, beside the problems of the others, so the value rules can
// judge them in the same run.
TEST(CsvTable, KeepsTheRowsItCanTakeBesideEveryProblem) {
  const csv_reading reading = read_csv_table("output,colour,system-sku,system-sku\n"
                                             "a,red,S1,x\n"
                                             "b,blue\n"
                                             "c,\"green,S3,x\n"
                                             "\"\n"
                                             "d,pink,\xFF,x\n"
                                             "e,grey,S5,x\n");
  EXPECT_EQ(problems_of(reading.problems),
            "1:2:unknown_column(colour) 1:4:repeated_column(system-sku) 3:0:wrong_cell_count "
            "4:0:wrong_cell_count 6:3:not_utf8(system-sku)");
  EXPECT_EQ(columns_of(reading.table), "output,system-sku");
  EXPECT_EQ(rows_of(reading.table), "2:a|S1 7:e|S5");
  // Without an output column, the fields' cells are still read.
  const csv_reading no_output = read_csv_table("system-sku\nS1\n");
  EXPECT_EQ(problems_of(no_output.problems), "1:0:no_output_column");
  EXPECT_EQ(no_output.table.output_column, -1);
  EXPECT_EQ(rows_of(no_output.table), "2:S1");
}

// A cell longer than its column takes is a problem and its row is not taken; notes and columns not
// kept take any length, as nothing of them is kept.
TEST(CsvTable, RefusesCellsLongerThanTheirColumnTakes) {
  const std::string uuid(MAX_UUID_CELL_LENGTH, 'u');
  const std::string field(MAX_FIELD_CELL_LENGTH, 'f');
  const std::string name(MAX_OUTPUT_CELL_LENGTH, 'o');
  const std::string header = "output,system-uuid,system-sku,#note\n";
  const std::string note(1 << 20, 'n');
  EXPECT_EQ(read(header + name + "," + uuid + "," + field + "," + note + "\n"),
            "2:" + name + "|" + uuid + "|" + field);
  EXPECT_EQ(read(header + name + "o," + uuid + "u,\"" + field + "\"\"\",x\nb,u,s,\n"),
            "problems: 2:1:cell_too_long(output) 2:2:cell_too_long(system-uuid) "
            "2:3:cell_too_long(system-sku)");
  const csv_reading reading = read_csv_table(header + "a,u," + std::string(1 << 20, 's') + ",\n");
  ASSERT_EQ(reading.problems.size(), 1u);
  EXPECT_EQ(reading.problems[0].length, 1u << 20);
  EXPECT_EQ(reading.problems[0].limit, MAX_FIELD_CELL_LENGTH);
  EXPECT_EQ(reading.table.cell_text, "") << "nothing of a row not taken stays";
}

// The problems listed stop at a hundred, the rest counted; a name quoted is cut short, never
// inside a character.
TEST(CsvTable, BoundsWhatItSays) {
  std::string text = "output,system-sku\n";
  for (int row = 0; row < 150; ++row) {
    text += "a\n";
  }
  text += "b,c\n";
  const csv_reading reading = read_csv_table(text);
  EXPECT_EQ(reading.problems.size(), MAX_LISTED_PROBLEMS);
  EXPECT_EQ(reading.problems_not_listed, 50u);
  EXPECT_EQ(reading.problems[MAX_LISTED_PROBLEMS - 1].line, MAX_LISTED_PROBLEMS + 1);
  EXPECT_EQ(rows_of(reading.table), "152:b|c");

  const std::string long_name = std::string(39, 'x') + "\xC3\xBC" + std::string(1 << 20, 'y');
  EXPECT_EQ(read("output," + long_name + "\na,b\n"),
            "problems: 1:2:unknown_column(" + std::string(39, 'x') + "...)");
  EXPECT_EQ(read("output," + std::string(40, 'x') + "\na,b\n"),
            "problems: 1:2:unknown_column(" + std::string(40, 'x') + ")");

  // Rows past the most a table may have: one problem, at the first of them, and nothing after it
  // read. Rows not taken do not count.
  const csv_reading many = read_csv_table("output,system-sku\na,1\nx\nb,2\nc,3\nd,4,5\n", 2);
  ASSERT_EQ(many.problems.size(), 2u);
  EXPECT_EQ(csv_problem_text(many.problems[1]),
            "line 5: a row past the 2 a table may have; the rest is not read: split the table");
  EXPECT_EQ(rows_of(many.table), "2:a|1 4:b|2");
}

} // namespace
