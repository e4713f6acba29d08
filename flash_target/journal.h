// The journal of a flash write and its file format: the coreboot region as the run read it from
// the chip and the blocks of the region meant for the chip, kept in a root-only state folder until
// the write has succeeded, so a failed or cut-short write can always be told apart and put right,
// and a journal that does not belong to the board and its chip is never written to it. The
// judgement of a journal is in journal_proof.h, its files' reads and writes in journal_files.h,
// what a run does with it in recovery.h.
//
// The write protocol, in order. Each step is done, and durable, before the next begins:
//
// (a) The chip's coreboot region is read, and a journal an earlier run left is judged first: a
//     journal that shows a whole region is removed; any other ends a run that would write, since
//     a new journal would put the only copy of the region from before out of reach.
// (b) The region as read goes into region_before.bin: all its blocks, then the header with the
//     board's identity as the firmware reported it at boot and the checksum of both, under the
//     name region_before.bin.partial; the file is synced, renamed into place, and the folder
//     synced. Before cbfstool or cp touch the working image: it is the region the chip holds, and
//     the only way back. The identity binds the journal to this board: boards set up from one
//     cloned disk carry it along. A run cut short here leaves a .partial file, which no run reads,
//     and no journal: the chip has not been touched.
// (c) The working image is changed (cbfstool, cp). A run that ends before (e), refused or failed,
//     removes its journal as in (f) on its way out: the chip was not touched.
// (d) The blocks of the working image's region that differ from the region before go into
//     region_meant.bin the same way: blocks, header, sync, rename, folder sync. Only now is
//     flashrom started, so a write cut short always leaves both files, and the next run can tell
//     every state the chip can be in: as before, as meant, or on its way between.
// (e) flashrom writes the region.
// (f) When it succeeds, region_meant.bin is removed first, then region_before.bin, then the folder
//     is synced. A removal cut short after the first name leaves the region from before alone,
//     which says the chip holds a whole region (before or meant), so nothing is written back.
// (g) When it fails, the chip and the board's identity are read again, the journal is proven to
//     be this board's and the chip's region to come from it (journal_proof.h), and
//     region_before.bin is written back as it stands: its header lies in the flash descriptor's
//     place, which a write of the coreboot region never touches. The journal is removed as in (f)
//     once that write succeeded, and kept for --restore otherwise, which does the same and then
//     reads the region back and compares it before it removes the journal.
#pragma once

#include "flash_target/region.h"
#include "system/board_identity.h"
#include "util/sha256.h"

#include <cstdint>
#include <ctime>
#include <memory>
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

// The full path of the journal file `name`.
std::string journal_path(const char* name);

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

// Where block `block` of the region starts in a copy of the region at `region`.
inline const std::uint8_t* block_at(const std::uint8_t* region, std::size_t block) {
  return region + block * JOURNAL_BLOCK_SIZE;
}

// Which region a journal file holds.
enum class journal_kind : std::uint32_t { region_before = 1, region_meant = 2 };

// The header's bytes at the start of a journal file: 1 KiB, of which the first 256 bytes are laid
// out as in the format before the board's identity was recorded.
constexpr std::size_t JOURNAL_HEADER_SIZE = 1024;

// What the header of a journal file says.
struct journal_header {
  journal_kind kind = journal_kind::region_before;
  block_set blocks;           // the blocks the file holds
  std::uint64_t write_id = 0; // shared by the two files of one write
  std::time_t written = 0;
  std::string tool_version;
  sha256_digest checksum; // see journal_checksum
  // The identity of the board the journal was made on, as read when it was begun; none in a
  // journal of the format before (which recorded none).
  std::optional<board_identity> identity;
};

// Writes `header` as the JOURNAL_HEADER_SIZE bytes at `bytes`, for this chip's flash layout, in
// the current format, which records an identity (none is written as one with no value read).
void encode_journal_header(const journal_header& header, std::uint8_t* bytes);

// Reads the JOURNAL_HEADER_SIZE bytes at `bytes` into `header`, in the current format or the one
// before. Returns what is wrong with them for a journal file of `kind` on this chip ("its header
// does not hold"), or null.
const char* decode_journal_header(const std::uint8_t* bytes, journal_kind kind,
                                  journal_header& header);

// The checksum a header carries: the SHA-256 of the blocks the file holds, in order, then of the
// board's identity as the header records it, which proves the one as whole as the others.
class journal_checksum {
public:
  // Adds `count` consecutive blocks at `bytes`, the next ones the file holds.
  void add(const std::uint8_t* bytes, std::size_t count) {
    hash_.update(bytes, count * JOURNAL_BLOCK_SIZE);
  }
  // The checksum for the header at `header_bytes`, as encode_journal_header wrote it (the identity
  // counts from the format that records one on).
  sha256_digest finish(const std::uint8_t* header_bytes);

private:
  sha256 hash_;
};

// A journal file as found in the state folder.
struct journal_file {
  enum class state { missing, damaged, whole };
  state found = state::missing;
  std::string damage; // why it is damaged: "its checksum does not hold"
  journal_header header;
  // The blocks it holds, at their offsets in the region (the others undefined); null unless whole.
  std::unique_ptr<region_buffer> region;
};
