// Tests of the batch table reader: the forms of comma-separated values it takes, the line numbers
// of rows, and every problem of a bad table.
#include "cli/csv_table.h"
#include "record/text_escape.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <variant>
#include <vector>

namespace {

// The table's rows as "LINE:cell|cell ..." and its columns as "name,name".
std::string rows_of(const csv_table& table) {
  std::string shown;
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    shown += shown.empty() ? "" : " ";
    shown += std::to_string(table.row_lines[row]) + ":";
    for (int column = 0; column < table.column_count; ++column) {
      shown += (column == 0 ? "" : "|") + table.cell(row, column);
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
    "unknown_column",    "repeated_column",  "no_output_column",   "wrong_cell_count",
    "quote_inside_cell", "text_after_quote", "unterminated_quote", "bare_carriage_return",
    "nul_byte",          "not_utf8",         "no_header",          "no_rows",
};
static_assert(std::size(KIND_NAMES) == static_cast<std::size_t>(csv_problem_kind::no_rows) + 1);

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

// What reading `text` gave: the rows, or the problems after "problems: ".
std::string read(const std::string& text) {
  auto result = read_csv_table(text);
  if (const auto* table = std::get_if<csv_table>(&result)) {
    return rows_of(*table);
  }
  return "problems: " + problems_of(std::get<csv_problem_list>(result));
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
      {"a line of commas is a row of empty cells", "output,system-sku,system-version\n,,\n",
       "2:||"},
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
  auto result = read_csv_table("system-uuid,chassis-asset-tag,output,system-serial-number\n"
                               "u,t,o,s\n");
  const auto* table = std::get_if<csv_table>(&result);
  ASSERT_NE(table, nullptr);
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
  // One cell of a megabyte, in quotes and doubled quotes.
  text += "last.rom,\"" + std::string(1 << 20, 'x') + std::string(1 << 16, '"') + "\",,,,,,,,,,,,,";
  auto result = read_csv_table(text);
  const auto* table = std::get_if<csv_table>(&result);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->column_count, MAX_CSV_COLUMNS);
  ASSERT_EQ(table->row_count(), ROWS + 1);
  EXPECT_EQ(table->row_lines[ROWS - 1], 2 * ROWS);
  EXPECT_EQ(table->cell(ROWS - 1, 1), "M\nN");
  EXPECT_EQ(table->row_lines[ROWS], 2 * ROWS + 2);
  EXPECT_EQ(table->cell(ROWS, 1).size(), (1u << 20) + (1u << 15));
}

TEST(CsvTable, ListsEveryProblemOfABadTable) {
  const std::vector<read_case> cases = {
      {"unknown column names: case, blanks, empty, a near miss",
       "output,Output, output,,system_sku\na,b,c,d,e\n",
       "1:2:unknown_column(Output) 1:3:unknown_column( output) 1:4:unknown_column "
       "1:5:unknown_column(system_sku)"},
      {"columns named twice", "output,system-sku,output,system-sku\na,b,c,d\n",
       "1:3:repeated_column(output) 1:4:repeated_column(system-sku)"},
      {"no output column", "system-sku,system-version\na,b\n", "1:0:no_output_column"},
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
       "line 1, column 2: 'sku\\033' is neither \"output\" nor a field name"},
      {"output,output\na,b\n", "line 1, column 2: 'output' names a column a second time"},
      {"system-sku\na\n", "line 1: the header names no \"output\" column"},
      {"output,system-sku\na\n", "line 2: 1 cell where the header has 2"},
      {"output,system-sku\na,b,c\n", "line 2: 3 cells where the header has 2"},
      {"output,system-sku\na,b\"\n",
       "line 2, column system-sku: a quote inside a cell that does not begin with one"},
      {"output\n\"a\n", "line 2, column output: a quoted cell that is not closed before the end "
                        "of the table"},
      {"", "line 1: the table is empty: it has no header"},
  };
  for (const auto& [text, expected] : cases) {
    auto result = read_csv_table(text);
    const auto* problems = std::get_if<csv_problem_list>(&result);
    ASSERT_NE(problems, nullptr) << text;
    ASSERT_FALSE(problems->empty()) << text;
    EXPECT_EQ(csv_problem_text((*problems)[0]), expected) << text;
  }
}

} // namespace
