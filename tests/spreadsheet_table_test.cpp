// Batch tables as spreadsheets save them, through the built vek_smbios_util: the forms a
// spreadsheet writes are taken as a hand-written table would be, and a table of many problems
// is told in bounded words.
#include "tests/build_paths.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const std::string MASTER = "/tmp/board/master.rom";
const std::string TABLE = "/tmp/board/table.csv";
const std::string OUT = "/tmp/board/out";
const std::string SINGLE = "/tmp/board/single.rom";

class SpreadsheetTable : public testing::Test {
protected:
  void SetUp() override {
    make_batch_board(board_, make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}}), MASTER, OUT);
  }

  emulated_board board_;
};

// A byte-order mark, CR LF, ';' between cells, headers as typed, a note column, a quoted cell
// holding the separator, a comma and a doubled quote, the empty rows left at the end: the images
// are those single -o runs make of the same values, and the summary says how the cells were split.
TEST_F(SpreadsheetTable, ABatchTakesATableAsASpreadsheetSavesIt) {
  write_file(TABLE,
             "\xEF\xBB\xBFOutput ;System Serial Number;system_uuid;# Notes;Chassis-Asset-Tag\r\n"
             "a.rom;SN-1;00112233-4455-6677-8899-aabbccddee01;\"late; rework, twice\";"
             "\"Rack 1; slot \"\"A\"\"\"\r\n"
             "b.rom;SN-2;00112233-4455-6677-8899-aabbccddee02;;Rack 2, slot B\r\n"
             ";;;;\r\n"
             ";;;;\r\n");
  const child_result result = board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(result.out.ends_with("Batch table " + TABLE +
                                   ": 2 images made, 0 failed (read with ';' between cells)\n"))
      << result.out;
  EXPECT_EQ(folder_entries(OUT), (std::vector<std::string>{"a.rom", "b.rom", "manifest.jsonl"}));
  const child_result single =
      board_.run({"-w", "-f", MASTER, "-o", SINGLE, "--system-serial-number=SN-1",
                  "--system-uuid=00112233-4455-6677-8899-aabbccddee01",
                  "--chassis-asset-tag=Rack 1; slot \"A\""});
  ASSERT_EQ(single.exit_status, 0) << single.err;
  EXPECT_TRUE(read_file(SINGLE) == read_file(OUT + "/a.rom"));
}

// A table whose every row is wrong is told by its first hundred problems and a count of the rest,
// on standard error and in the JSON document.
TEST_F(SpreadsheetTable, ATableOfManyProblemsIsToldInBoundedWords) {
  std::string table = "output,system-serial-number\n";
  for (int row = 0; row < 130; ++row) {
    table += "only-one-cell.rom\n";
  }
  write_file(TABLE, table);
  const child_result result =
      board_.run({"--json", "-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 102) << result.err;
  EXPECT_TRUE(result.err.ends_with("line 101: 1 cell where the header has 2\nand 30 more\n"))
      << result.err;
  EXPECT_EQ(jq("[(.problems | length), .problems_not_listed] | @json", result.out), "[100,30]");
  EXPECT_EQ(schema_fault(result.out), "");
  EXPECT_TRUE(folder_entries(OUT).empty());
}

} // namespace
