// The plan of a batch: its table read and checked whole, and each row planned, before anything is
// made, checked or written.
#pragma once

#include "cli/csv_table.h"
#include "record/dmi_record.h"
#include "run/batch_bounds.h"
#include "util/item_list.h"
#include "util/unique_fd.h"

#include <cstddef>
#include <string>

// What stands at a row's output name in the folder: nothing, a file that may be the row's image
// (a regular file of an image's size), anything else; or, once compared, the very image the row
// makes, made by an earlier run.
enum class output_state { missing, image, other, made };

// A row of the table: where it stands, its output's name, the record its image gets, and what
// stands at its output name.
struct row_plan {
  std::size_t line = 0;
  std::string output;
  dmi_record stored{};
  output_state there = output_state::missing;
};

// What is wrong with the table, a row, or a cell: its line, its column (a name, or for a header
// cell its place), what, and the whole line that says it.
struct problem {
  std::size_t line = 0;
  std::string column;
  std::string text;
  std::string said;
};

// At most MAX_LISTED_PROBLEMS are kept, each bounded (see bounded_problem_text); the others are
// only counted, so a table of any size makes the run say a bounded amount.
class problem_list {
public:
  void add(std::size_t line, std::string column, std::string text);
  // A problem of the table's form, said as the table reader says it.
  void add(const csv_problem& found);
  // Counts problems found beyond those listed elsewhere (by the table's reader).
  void count_not_listed(std::size_t count) {
    not_listed_ += count;
  }
  bool empty() const {
    return problems_.empty();
  }
  // Ends the run, listing every problem: nothing is made.
  [[noreturn]] void refuse(const std::string& table) const;

private:
  // Counts a problem that is not listed, when the list is full.
  bool is_full();

  item_list<problem> problems_;
  std::size_t not_listed_ = 0;
};

// The name of the manifest a batch keeps in its output folder, which no row's output may take.
constexpr const char* MANIFEST_NAME = "manifest.jsonl";

// The path of the file `name` in the folder `folder`, as messages name it.
std::string output_path(const std::string& folder, const std::string& name);

// The table's text, read whole, from where no other user can change it (the trusted-path rule),
// and only from the file the name led to when it was checked: read through another user's link,
// the words of a refused table could show a file that user may not read. Ends the run when it
// cannot be.
std::string read_table(const std::string& path);

// The table read from `text`: the rows that could be taken, every problem of its form added to
// `problems`, so the rows' own problems are named in the same run.
csv_table parse_table(const std::string& text, problem_list& problems);

// The folder the images go to: one no other user can change. Ends the run when it is not.
unique_fd open_output_folder(const std::string& folder);

// The values row `row` of `table` gives, each taken and held to the value rules; a value refused
// is added to `problems`.
dmi_record row_values(const csv_table& table, std::size_t row, problem_list& problems);

// The rows of a batch: what a row's plan is made from, and what stands at each row's output name
// (one byte a row). A plan is made again each time it is wanted, so the batch keeps no record per
// row and its memory does not grow with the table.
struct batch_rows {
  const csv_table& table;
  dmi_record master;
  dmi_record given;
  item_list<output_state> there;

  std::size_t size() const {
    return there.size();
  }
  // Row `row` planned (see plan_row); its problems are known already.
  row_plan plan(std::size_t row) const;
};

// Row `row` of `table` planned, each of its problems added to `problems`: its values (see
// row_values), its record (the row's values over `given`, over `master`, which must fit) and its
// output's name (a file name in the folder, not the manifest's).
row_plan plan_row(const csv_table& table, std::size_t row, const dmi_record& master,
                  const dmi_record& given, problem_list& problems);

// Every row of `table` checked (see plan_row), what stands at each output name in the folder open
// on `folder` (-1 for none) noted, and the values two rows share and a placeholder of the master's
// carried into a field that nothing sets added to `problems`; an output
// that is there and cannot be an image is a problem when `refuse_other_files`. Stops early,
// having added what it found, when a signal interrupts the batch.
batch_rows check_rows(const csv_table& table, int folder, bool refuse_other_files,
                      const dmi_record& master, const dmi_record& given, problem_list& problems);

// The one row of `table` whose field holds the value, `key` being "FIELD=VALUE" as --row takes
// it (UUIDs compared as UUIDs, other values byte for byte), the table named `path` in messages.
// Ends the run when no row or more than one does.
std::size_t find_row(const csv_table& table, const std::string& key, const std::string& path);
