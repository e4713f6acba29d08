// What bounds a batch: when it stops before its last row (an interruption, or a failure that
// every further row would meet), how much of a refused table it lists, the one listing of the
// output folder its rows are checked against, and its summary line.
#pragma once

#include "util/failure.h"
#include "util/item_list.h"

#include <cstddef>
#include <string>
#include <string_view>

// The most bytes of one problem's text; a longer one is cut at a character and ends in "...".
constexpr std::size_t MAX_PROBLEM_TEXT = 480;

// `text` cut to at most MAX_PROBLEM_TEXT bytes, never inside a UTF-8 sequence, "..." marking a cut.
std::string bounded_problem_text(std::string text);

// When a row's `failure` is one that every further row of the batch would meet too, the line
// that says so and why the batch stops there: no space left on the disk, a quota reached, a
// read-only file system (the images all go to one folder, the working files to one /tmp), or an
// outside program that the shell cannot find or run. Otherwise "".
std::string every_row_failure(const run_failure& failure);

// The names a folder holds, read once: a batch checks its outputs against them rather than
// looking each one up, which for a table of millions of rows costs the system seconds and fills
// its cache of names with as many entries that lead nowhere.
class folder_names {
public:
  // The names in the folder open on `folder` ("." and ".." left out); none when it cannot be read.
  explicit folder_names(int folder);
  bool holds(std::string_view name) const;

private:
  item_list<std::string> names_; // sorted
};

// What a batch did, for its summary.
struct batch_tally {
  std::size_t rows = 0;
  std::size_t made = 0;
  std::size_t already = 0; // made by an earlier run: the image its row makes is there
  std::size_t failed = 0;
  int signal = 0; // the signal that interrupted it, or 0

  // The rows whose image was neither made, nor there already, nor failed: abandoned or never
  // begun.
  std::size_t not_made() const {
    return rows - made - already - failed;
  }
};

// The summary line of a batch run on `table`: how many images were made, were there already
// (when any were), failed and, when the batch stopped early, not made; for a dry run, how many
// rows were checked and how many images are there already; and the signal that interrupted it, if
// one did.
std::string batch_summary(const std::string& table, const batch_tally& tally, bool dry_run);
