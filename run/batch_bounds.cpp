// When a batch stops early, the bounds of what it says and of its look-ups.
#include "run/batch_bounds.h"

#include "system/leftovers.h"
#include "util/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Exit statuses of the shell for a program it cannot find, or cannot run.
constexpr int STATUS_NOT_EXECUTABLE = 126;
constexpr int STATUS_NOT_FOUND = 127;

bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

std::string bounded_problem_text(std::string text) {
  if (text.size() <= MAX_PROBLEM_TEXT) {
    return text;
  }
  std::size_t cut = MAX_PROBLEM_TEXT - 3;
  while (cut > 0 && is_continuation_byte(text[cut])) {
    --cut;
  }
  text.resize(cut);
  return text + "...";
}

std::string every_row_failure(const run_failure& failure) {
  switch (failure.system_error()) {
  case ENOSPC:
  case EDQUOT:
  case EROFS:
    return format_text("No further image can be made: %s: %s\n", failure.subject().c_str(),
                       std::strerror(failure.system_error()));
  default:
    break;
  }
  if (failure.kind() == failure_kind::outside_program &&
      (failure.status() == STATUS_NOT_FOUND || failure.status() == STATUS_NOT_EXECUTABLE)) {
    return format_text("No further image can be made: %s cannot be run\n",
                       failure.subject().c_str());
  }
  return "";
}

folder_names::folder_names(int folder) : names_(names_in_folder(folder)) {
  std::sort(names_.begin(), names_.end());
}

bool folder_names::holds(std::string_view name) const {
  return std::binary_search(names_.begin(), names_.end(), name);
}

std::string batch_summary(const std::string& table, const batch_tally& tally, bool dry_run) {
  std::string summary = "Batch table " + table;
  if (tally.signal != 0) {
    summary += " interrupted by " + signal_name(tally.signal);
  }
  const std::string already =
      tally.already == 0 ? "" : format_text(", %zu already there", tally.already);
  if (dry_run) {
    return summary + (tally.signal != 0 ? ": nothing made\n"
                                        : format_text(" checked: %zu rows%s, nothing made\n",
                                                      tally.rows, already.c_str()));
  }
  summary +=
      format_text(": %zu images made%s, %zu failed", tally.made, already.c_str(), tally.failed);
  if (tally.not_made() != 0) {
    summary += format_text(", %zu not made", tally.not_made());
  }
  return summary + "\n";
}
