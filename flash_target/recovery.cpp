// The journaled write of the chip, and the journal of an earlier write: judged at the start of a
// run, proven before a restore, restored or discarded on request.
#include "flash_target/recovery.h"

#include "flash_target/chip.h"
#include "flash_target/flash_write.h"
#include "flash_target/journal_files.h"
#include "flash_target/journal_proof.h"
#include "flash_target/journal_words.h"
#include "system/working_files.h"
#include "util/failure.h"

#include <cctype>
#include <cstring>

namespace {

// The journal as found in the state folder, the board's identity now, and what they say about
// the chip.
struct found_journal {
  journal_file before;
  journal_file meant;
  board_identity now;
  journal_verdict verdict;
};

found_journal find_journal(int folder, const region_buffer& chip, const board_identity& now,
                           bool same_board) {
  found_journal found;
  found.before = load_journal_file(folder, REGION_BEFORE_FILE, journal_kind::region_before);
  found.meant = load_journal_file(folder, REGION_MEANT_FILE, journal_kind::region_meant);
  found.now = now;
  found.verdict = judge_journal(chip.data(), found.before, found.meant, now, same_board);
  return found;
}

std::string unusable_words(const found_journal& found) {
  return unusable_words(found.verdict, found.before.header.identity, found.now);
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

// Ends a run that finds a journal it must not write to the chip: after `opening`, or, for another
// board's, with the words alone, which say that nothing is written.
[[noreturn]] void refuse_journal(const char* opening, const found_journal& found) {
  std::string words = unusable_words(found);
  if (found.verdict.finding == journal_finding::another_board && opening == nullptr) {
    words[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(words[0])));
  } else {
    words = std::string(opening) + ": " + words;
  }
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::journal, words + "\n", STATE_FOLDER);
}

// Reads the chip's coreboot region into `chip` through the working image.
void read_chip(command_runner& runner, const working_files& files, region_buffer& chip) {
  read_coreboot_region(runner, files);
  load_working_region(files, chip);
}

// --restore's write of the region from before, and the proof that the chip took it: it reads
// back as the journal's region. Ends the run, the journal kept, when it does not.
void write_back_and_compare(command_runner& runner, const working_files& files,
                            const found_journal& found) {
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
  region_buffer chip;
  read_chip(runner, files, chip);
  if (std::memcmp(chip.data(), found.before.region->data(), REGION_SIZE) != 0) {
    throw run_failure(
        EXIT_TOOL_ERROR, failure_kind::journal,
        kept_region_words("The coreboot region of the flash does not read back as restored"),
        STATE_FOLDER)
        .with_flash(flash_after_failure::needs_restore);
  }
}

} // namespace

void settle_earlier_write(run_output& out, int folder, const region_buffer& chip, bool will_write,
                          const board_identity& now) {
  if (folder < 0 || !journal_present(folder)) {
    return;
  }
  const found_journal found = find_journal(folder, chip, now, false);
  if (found.verdict.finding == journal_finding::none ||
      remove_whole_region_journal(out, folder, found.verdict)) {
    return;
  }
  if (is_unusable(found.verdict.finding)) {
    if (will_write) {
      refuse_journal("Refusing to write the flash", found);
    }
    out.notice("Warning: " + unusable_words(found) + "\n");
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
                                           const working_files& files,
                                           const board_identity_source& identity) {
  const std::string kept =
      kept_region_words("The coreboot region of the flash may be partly written");
  // A failure on the way is said here: the run ends with the failed write's status.
  try {
    runner.out().progress("Restoring coreboot region...\n");
    region_buffer chip;
    read_chip(runner, files, chip);
    const found_journal found = find_journal(folder, chip, identity.read(), false);
    if (is_unusable(found.verdict.finding)) {
      return {false,
              "The coreboot region of the flash may be partly written and is not put back: " +
                  unusable_words(found) + "\n"};
    }
    if (write_back_region_before(runner, files.layout) != 0) {
      return {false, kept};
    }
    remove_journal(folder);
  } catch (const run_failure& failure) {
    if (!failure.message().empty()) {
      runner.out().notice(failure.message() + "\n");
    }
    return {false, kept};
  }
  return {true, "The coreboot region of the flash was restored to its content before the run\n"};
}

void restore_from_journal(command_runner& runner, int folder, const working_files& files,
                          const board_identity_source& identity, bool same_board) {
  if (folder < 0 || !journal_present(folder)) {
    fail(failure_kind::journal, STATE_FOLDER,
         "Nothing to restore: there is no journal of a flash write in %s\n", STATE_FOLDER);
  }
  region_buffer chip;
  read_chip(runner, files, chip);
  const found_journal found = find_journal(folder, chip, identity.read(), same_board);
  if (is_unusable(found.verdict.finding)) {
    refuse_journal(found.verdict.finding == journal_finding::another_board ? nullptr
                                                                           : "Refusing to restore",
                   found);
  }
  if (found.verdict.finding == journal_finding::none ||
      remove_whole_region_journal(runner.out(), folder, found.verdict)) {
    fail(failure_kind::journal, STATE_FOLDER,
         "Nothing to restore: the coreboot region of the flash is whole\n");
  }
  write_back_and_compare(runner, files, found);
  remove_journal(folder);
  runner.out().progress("The coreboot region of the flash holds its content from before the "
                        "failed write again\n");
}

item_list<discarded_file> discard_journal(run_output& out, int folder) {
  if (folder < 0 || !journal_present(folder)) {
    fail(failure_kind::journal, STATE_FOLDER,
         "Nothing to discard: there is no journal of a flash write in %s\n", STATE_FOLDER);
  }
  item_list<discarded_file> discarded;
  std::string words;
  const std::pair<const char*, journal_kind> files[] = {
      {REGION_BEFORE_FILE, journal_kind::region_before},
      {REGION_MEANT_FILE, journal_kind::region_meant}};
  for (const auto& [name, kind] : files) {
    const journal_file file = load_journal_file(folder, name, kind);
    if (file.found != journal_file::state::missing) {
      discarded.push_back({journal_path(name), discarded_file_words(file)});
      words += words.empty() ? "" : ", ";
      words +=
          discarded[discarded.size() - 1].path + " (" + discarded[discarded.size() - 1].held + ")";
    }
  }
  remove_journal(folder);
  out.progress("Discarded the journal of an earlier flash write: " + words + "\n");
  return discarded;
}

void write_coreboot_region(command_runner& runner, const working_files& files,
                           const write_journal& journal) {
  check_working_files(files);
  if (journal.folder >= 0) {
    save_region_meant(journal.folder, journal.start, files.image, *journal.before);
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
    const restore_outcome outcome = restore_after_failed_write(
        runner, journal.folder, files,
        journal.identity != nullptr ? *journal.identity : system_board_identity());
    failure = run_failure(status, failure_kind::outside_program, outcome.words, "flashrom");
    failure.with_flash(outcome.restored ? flash_after_failure::restored
                                        : flash_after_failure::needs_restore);
  } else {
    failure.with_flash(flash_after_failure::needs_restore);
  }
  throw failure;
}
