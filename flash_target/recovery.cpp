// The journaled write of the chip, and the journal of an earlier write: judged at the start of a
// run, proven before a restore, restored or discarded on request.
#include "flash_target/recovery.h"

#include "flash_target/chip.h"
#include "flash_target/flash_write.h"
#include "flash_target/journal_files.h"
#include "flash_target/journal_proof.h"
#include "system/working_files.h"
#include "util/failure.h"

#include <cstring>
#include <ctime>

namespace {

// `opening`, then, on the same line, where the region's content before the write is kept and the
// command that puts it back.
std::string kept_region_words(const char* opening) {
  return format_text("%s; its content before the write is kept in %s; run vek_smbios_util "
                     "--restore to put it back\n",
                     opening, journal_path(REGION_BEFORE_FILE).c_str());
}

// The journal as found in the state folder, and what it says about the chip.
struct found_journal {
  journal_file before;
  journal_file meant;
  journal_verdict verdict;
};

found_journal find_journal(int folder, const region_buffer& chip) {
  found_journal found;
  found.before = load_journal_file(folder, REGION_BEFORE_FILE, journal_kind::region_before);
  found.meant = load_journal_file(folder, REGION_MEANT_FILE, journal_kind::region_meant);
  found.verdict = judge_journal(chip.data(), found.before, found.meant);
  return found;
}

// What a journal that shows the chip holding a whole region says, or null for any other.
const char* whole_region_words(journal_finding finding) {
  switch (finding) {
  case journal_finding::write_completed:
    return "An earlier flash write had completed: the chip holds the region meant for it";
  case journal_finding::write_not_begun:
    return "An earlier flash write never took place: the chip holds the region as it was before";
  case journal_finding::before_only:
    return "An earlier flash write left only the region from before it: the write never began, "
           "or it had completed and its journal was being removed";
  case journal_finding::none:
  case journal_finding::damaged:
  case journal_finding::partly_written:
  case journal_finding::foreign:
    break;
  }
  return nullptr;
}

// A journal that must not be written to the chip: what it is, and the way out.
std::string unusable_words(const journal_verdict& verdict) {
  const std::string way_out = "; run vek_smbios_util --discard-journal to drop it";
  if (verdict.finding == journal_finding::damaged) {
    return "the journal of an earlier flash write is damaged: " + verdict.reason + way_out;
  }
  return "the journal of an earlier flash write may belong to another board: its blocks at " +
         verdict.reason +
         " hold neither their content before that write nor the content meant "
         "for them" +
         way_out;
}

bool is_unusable(journal_finding finding) {
  return finding == journal_finding::damaged || finding == journal_finding::foreign;
}

// Removes a journal that shows the chip whole, saying so. Returns whether it did.
bool remove_whole_region_journal(run_output& out, int folder, const journal_verdict& verdict) {
  const char* words = whole_region_words(verdict.finding);
  if (words == nullptr) {
    return false;
  }
  remove_journal(folder);
  out.notice(std::string(words) + "; its journal is removed\n");
  return true;
}

[[noreturn]] void refuse_journal(const char* opening, const journal_verdict& verdict) {
  fail(failure_kind::journal, STATE_FOLDER, "%s: %s\n", opening, unusable_words(verdict).c_str());
}

// What a journal file is, for the line that says it was discarded.
std::string describe(const journal_file& file) {
  if (file.found == journal_file::state::damaged) {
    return "damaged: " + file.damage;
  }
  char written[32] = "an unknown time";
  struct tm when {};
  if (::gmtime_r(&file.header.written, &when) != nullptr) {
    std::strftime(written, sizeof written, "%Y-%m-%d %H:%M:%S UTC", &when);
  }
  return std::to_string(file.header.blocks.count()) + " blocks, written " + written +
         " by vek_smbios_util " + file.header.tool_version;
}

} // namespace

void settle_earlier_write(run_output& out, int folder, const region_buffer& chip, bool will_write) {
  if (folder < 0 || !journal_present(folder)) {
    return;
  }
  const found_journal found = find_journal(folder, chip);
  if (found.verdict.finding == journal_finding::none ||
      remove_whole_region_journal(out, folder, found.verdict)) {
    return;
  }
  if (is_unusable(found.verdict.finding)) {
    if (will_write) {
      refuse_journal("Refusing to write the flash", found.verdict);
    }
    out.notice("Warning: " + unusable_words(found.verdict) + "\n");
    return;
  }
  if (will_write) {
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::journal,
                      kept_region_words("Refusing to write the flash: its coreboot region matches "
                                        "neither its content before an earlier write nor the "
                                        "content meant for it"),
                      STATE_FOLDER);
  }
  out.notice(kept_region_words("Warning: the coreboot region of the flash matches neither its "
                               "content before an earlier write nor the content meant for it"));
}

restore_outcome restore_after_failed_write(command_runner& runner, int folder,
                                           const working_files& files) {
  const std::string kept =
      kept_region_words("The coreboot region of the flash may be partly written");
  // A failure on the way is said here: the run ends with the failed write's status.
  try {
    runner.out().progress("Restoring coreboot region...\n");
    read_coreboot_region(runner, files);
    region_buffer chip;
    load_working_region(files, chip);
    const found_journal found = find_journal(folder, chip);
    if (is_unusable(found.verdict.finding)) {
      return {false,
              "The coreboot region of the flash may be partly written and is not put back: " +
                  unusable_words(found.verdict) + "\n"};
    }
    if (write_back_region_before(runner, files.layout) != 0) {
      return {false, kept};
    }
    remove_journal(folder);
  } catch (const run_failure& failure) {
    runner.out().notice(failure.message());
    return {false, kept};
  }
  return {true, "The coreboot region of the flash was restored to its content before the run\n"};
}

void restore_from_journal(command_runner& runner, int folder, const working_files& files) {
  if (folder < 0 || !journal_present(folder)) {
    fail(failure_kind::journal, STATE_FOLDER,
         "Nothing to restore: there is no journal of a flash write in %s\n", STATE_FOLDER);
  }
  read_coreboot_region(runner, files);
  region_buffer chip;
  load_working_region(files, chip);
  const found_journal found = find_journal(folder, chip);
  if (is_unusable(found.verdict.finding)) {
    refuse_journal("Refusing to restore", found.verdict);
  }
  if (found.verdict.finding == journal_finding::none ||
      remove_whole_region_journal(runner.out(), folder, found.verdict)) {
    fail(failure_kind::journal, STATE_FOLDER,
         "Nothing to restore: the coreboot region of the flash is whole\n");
  }
  runner.out().progress("Restoring coreboot region...\n");
  {
    flash_write_shield shield;
    if (const int status = write_back_region_before(runner, files.layout)) {
      shield.hold();
      throw run_failure(status, failure_kind::outside_program,
                        kept_region_words("The coreboot region of the flash may be partly written"),
                        "flashrom")
          .with_flash(flash_after_failure::needs_restore);
    }
  }
  read_coreboot_region(runner, files);
  load_working_region(files, chip);
  if (std::memcmp(chip.data(), found.before.region->data(), REGION_SIZE) != 0) {
    throw run_failure(
        EXIT_TOOL_ERROR, failure_kind::journal,
        kept_region_words("The coreboot region of the flash does not read back as restored"),
        STATE_FOLDER)
        .with_flash(flash_after_failure::needs_restore);
  }
  remove_journal(folder);
  runner.out().progress("The coreboot region of the flash holds its content from before the "
                        "failed write again\n");
}

void discard_journal(run_output& out, int folder) {
  if (folder < 0 || !journal_present(folder)) {
    fail(failure_kind::journal, STATE_FOLDER,
         "Nothing to discard: there is no journal of a flash write in %s\n", STATE_FOLDER);
  }
  std::string discarded;
  const std::pair<const char*, journal_kind> files[] = {
      {REGION_BEFORE_FILE, journal_kind::region_before},
      {REGION_MEANT_FILE, journal_kind::region_meant}};
  for (const auto& [name, kind] : files) {
    const journal_file file = load_journal_file(folder, name, kind);
    if (file.found != journal_file::state::missing) {
      discarded +=
          (discarded.empty() ? "" : ", ") + journal_path(name) + " (" + describe(file) + ")";
    }
  }
  remove_journal(folder);
  out.progress("Discarded the journal of an earlier flash write: " + discarded + "\n");
}

void write_coreboot_region(command_runner& runner, const working_files& files,
                           const write_journal& journal) {
  check_working_files(files);
  if (journal.folder >= 0) {
    save_region_meant(journal.folder, journal.write_id, files.image, *journal.before);
  }
  runner.out().progress("Writing coreboot region...\n");
  flash_write_shield shield;
  const int status = run_flash_write(runner, files.layout, files.image);
  if (status == 0) {
    if (journal.folder >= 0) {
      remove_journal(journal.folder);
    }
    return;
  }
  // No signal and no reader that went away stops the restore or its report, nor the run's end
  // with the write's status.
  shield.hold();
  run_failure failure(status, failure_kind::outside_program,
                      format_text("The coreboot region of the flash may be partly written; the "
                                  "image meant for it is %s\n",
                                  files.image.c_str()),
                      "flashrom");
  if (journal.folder >= 0) {
    const restore_outcome outcome = restore_after_failed_write(runner, journal.folder, files);
    failure = run_failure(status, failure_kind::outside_program, outcome.words, "flashrom");
    failure.with_flash(outcome.restored ? flash_after_failure::restored
                                        : flash_after_failure::needs_restore);
  } else {
    failure.with_flash(flash_after_failure::needs_restore);
  }
  throw failure;
}
