// The journal's files in the state folder: the folder's safety, the files' reads and durable
// writes, and their removal, in the order journal.h states.
#pragma once

#include "flash_target/journal.h"
#include "util/unique_fd.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

// Why a state folder with this status (from lstat) may not hold the journal, in words that
// follow "it", or empty: a link, not a folder, or a fault of the ownership rule (see
// system/file_checks.h).
std::string unsafe_state_folder(const struct stat& status);

// Opens the state folder and returns its descriptor; with `make`, makes it (mode 0700) when it
// is missing, otherwise returns none for a missing folder. Every folder above it must pass the
// trusted-path rule. Ends the run when a folder is unsafe or cannot be made or opened.
unique_fd open_state_folder(bool make);

// Whether the state folder holds a file (of any kind) at either of the journal's names.
bool journal_present(int folder);

// Why a journal file with this status (from fstat) cannot be one this tool wrote, in words that
// follow "it", or empty: it is not a regular file under the ownership rule.
std::string unowned_journal_file(const struct stat& status);

// Opens the journal file `name` of the state folder open on `folder` without following a link
// and without waiting on a FIFO, and reads it whole. A file that unowned_journal_file refuses, of
// another size than the chip's, whose header does not describe a journal of this kind for this
// flash layout (see decode_journal_header), or whose blocks do not give the header's checksum, is
// damaged. Ends the run when the file cannot be opened (but for a missing file or a link), checked
// or read.
journal_file load_journal_file(int folder, const char* name, journal_kind kind);

// Writes one journal file as journal.h's protocol says: the blocks first, each run of consecutive
// ones at its offset, under the name with ".partial" added; then finish() adds the header with
// `identity` and the checksum, flushes the file to disk, renames it into place and syncs the
// folder. Ends the run on failure.
class journal_writer {
public:
  journal_writer(int folder, const char* name, journal_kind kind, std::uint64_t write_id,
                 const board_identity& identity);

  // Adds `count` consecutive blocks from `first` on; each call's blocks follow the last call's.
  void add(std::size_t first, const std::uint8_t* bytes, std::size_t count);
  void finish();

private:
  int folder_;
  const char* name_;
  std::string partial_;
  unique_fd file_;
  journal_header header_;
  journal_checksum checksum_;
};

// The journal this run begins: its write id, and the identity of the board it records.
struct journal_start {
  std::uint64_t write_id = 0;
  board_identity identity;
};

// Starts this run's journal: writes `region`, the coreboot region as read from the chip, as the
// journal file of the region from before, durably, under a new write id, recording `identity`,
// the board's as read now. Returns the id and the identity. Ends the run on failure.
journal_start save_region_before(int folder, const region_buffer& region,
                                 const board_identity& identity);

// Completes this run's journal right before the write: compares the coreboot region of the image
// at `image_path` with `before` block by block and writes the blocks that differ as the journal
// file of the region meant for the chip, durably, under the id and identity of `start`. Ends the
// run on failure.
void save_region_meant(int folder, const journal_start& start, const std::string& image_path,
                       const region_buffer& before);

// Removes the journal, the region meant for the chip first, and makes the removal durable.
// Ends the run on failure.
void remove_journal(int folder);
