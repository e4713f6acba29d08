// The journal of a flash write: the coreboot region as the run read it from the chip and the
// blocks of the region meant for the chip, kept in a root-only state folder until the write has
// succeeded, so a failed or cut-short write can always be told apart and put right, and a
// journal that does not belong to the chip is never written to it.
#pragma once

#include "flash_target/region.h"
#include "util/unique_fd.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// The state folder is a build setting; without one, the place each system keeps such state.
#if !defined(VEK_STATE_FOLDER)
#if defined(__FreeBSD__)
#define VEK_STATE_FOLDER "/var/db/vek_smbios_util"
#else
#define VEK_STATE_FOLDER "/var/lib/vek_smbios_util"
#endif
#endif
constexpr const char* STATE_FOLDER = VEK_STATE_FOLDER;

// The journal's two files in the state folder. Each is a file of the chip's size: a header in
// its first block (inside the flash descriptor's place, which a write of the coreboot region
// never touches), then the blocks of the region it holds at their own offsets. The region from
// before holds every block, so flashrom can write it back as it stands; the region meant for the
// chip holds only the blocks the write changes.
constexpr const char* REGION_BEFORE_FILE = "region_before.bin";
constexpr const char* REGION_MEANT_FILE = "region_meant.bin";

// The region is judged in blocks of 4 KiB, the smallest unit a flash chip erases.
constexpr std::size_t JOURNAL_BLOCK_SIZE = 4096;
constexpr std::size_t REGION_BLOCKS = REGION_SIZE / JOURNAL_BLOCK_SIZE;

// A set of the region's blocks, by their numbers.
class block_set {
public:
  bool operator[](std::size_t block) const {
    return (words_[block / 64] >> (block % 64) & 1) != 0;
  }
  block_set& set(std::size_t block, bool value = true) {
    const std::uint64_t bit = std::uint64_t{1} << (block % 64);
    words_[block / 64] = value ? words_[block / 64] | bit : words_[block / 64] & ~bit;
    return *this;
  }
  // Every block.
  block_set& set() {
    for (std::uint64_t& word : words_) {
      word = ~std::uint64_t{0};
    }
    return *this;
  }
  std::size_t count() const {
    std::size_t count = 0;
    for (const std::uint64_t word : words_) {
      count += static_cast<std::size_t>(__builtin_popcountll(word));
    }
    return count;
  }
  bool all() const {
    return count() == REGION_BLOCKS;
  }
  bool none() const {
    return count() == 0;
  }

private:
  static_assert(REGION_BLOCKS % 64 == 0);
  std::uint64_t words_[REGION_BLOCKS / 64] = {};
};

// Which region a journal file holds.
enum class journal_kind : std::uint32_t { region_before = 1, region_meant = 2 };

// A journal file as found in the state folder.
struct journal_file {
  enum class state { missing, damaged, whole };
  state found = state::missing;
  std::string damage;         // why it is damaged: "its checksum does not hold"
  block_set blocks;           // the blocks it holds
  std::uint64_t write_id = 0; // shared by the two files of one write
  std::time_t written = 0;
  std::string tool_version;
  // The blocks it holds, at their offsets in the region (the others undefined); null unless whole.
  std::unique_ptr<region_buffer> region;
};

// Opens the journal file `name` of the state folder open on `folder` without following a link
// and without waiting on a FIFO, and reads it whole. A file that is not root's regular file of
// the chip's size with one link, whose header does not describe a journal of this kind for this
// flash layout, or whose blocks do not give the checksum of its header, is damaged. Ends the run
// only when the folder cannot be read.
journal_file load_journal_file(int folder, const char* name, journal_kind kind);

// What a journal found at the start of a run says about the chip.
enum class journal_finding {
  none,            // no journal
  damaged,         // a file that is no sound journal, or the two files of different writes
  before_only,     // the region from before alone: no write began, or one completed and the
                   // removal of its journal was cut short; either way the chip holds a whole region
  write_completed, // every block the write changes holds the region meant for the chip
  write_not_begun, // every block the write changes holds the region from before
  partly_written,  // the blocks are on their way between the two: the write was cut short
  foreign,         // blocks that are neither: the journal may belong to another board
};

struct journal_verdict {
  journal_finding finding = journal_finding::none;
  std::string reason; // damaged: the file and why; foreign: the first blocks that are neither
};

// Judges the coreboot region read from the chip against the journal's two files. Only the blocks
// the write changes (those the region meant holds) count; the others, where the firmware may keep
// data of its own, are left out. Neither all as meant nor all as before: the region must be
// proven to come from the journal (see prove_in_transit), or it is foreign.
journal_verdict judge_journal(const std::uint8_t* chip, const journal_file& before,
                              const journal_file& meant);

// Whether every block of `changed` in `chip` is the block from before, the block meant, or one on
// its way between them: an erase only sets bits and programming only clears them, so each byte
// of such a block holds every 1-bit of the byte from before, or every 1-bit of the byte meant,
// the same choice for the whole block. Returns the blocks that are neither (none when the region
// comes from this journal), in order.
block_set prove_in_transit(const std::uint8_t* chip, const std::uint8_t* before,
                           const std::uint8_t* meant, const block_set& changed);

// The first blocks of `blocks` in words, by their offsets in the image: "0xff0000, 0xff1000 and
// 3 more".
std::string block_words(const block_set& blocks);

// Why a state folder with this status (from lstat) may not hold the journal, or null: a link,
// not a folder, not owned by root, writable by group or others.
const char* unsafe_state_folder(const struct stat& status);

// Opens the state folder and returns its descriptor; with `make`, makes it (mode 0700) when it
// is missing, otherwise returns none for a missing folder. Every folder above it must pass the
// trusted-path rule. Ends the run when a folder is unsafe or cannot be made or opened.
unique_fd open_state_folder(bool make);

// The full path of the journal file `name`.
std::string journal_path(const char* name);

// Whether the state folder holds a file (of any kind) at either of the journal's names.
bool journal_present(int folder);

// Starts this run's journal: writes `region`, the coreboot region as read from the chip, as the
// journal file of the region from before, durably, under a new write id. Returns that id. Ends
// the run on failure.
std::uint64_t save_region_before(int folder, const region_buffer& region);

// Completes this run's journal right before the write: compares the coreboot region of the image
// at `image_path` with `before` block by block and writes the blocks that differ as the journal
// file of the region meant for the chip, durably. Ends the run on failure.
void save_region_meant(int folder, std::uint64_t write_id, const std::string& image_path,
                       const region_buffer& before);

// `opening`, then, on the same line, where the region's content before the write is kept and the
// command that puts it back.
std::string kept_region_words(const char* opening);

// Removes the journal, the region meant for the chip first, and makes the removal durable.
// Ends the run on failure.
void remove_journal(int folder);
