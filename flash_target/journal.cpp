// The journal of a flash write in the state folder: its files, and the judgement of the chip.
#include "flash_target/journal.h"

#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/sha256.h"
#include "util/unique_fd.h"
#include "util/version.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The header at the start of each journal file: its fields little-endian at fixed offsets.
constexpr char MAGIC[16] = "vek_smbios jrnl";
constexpr std::uint32_t FORMAT = 1;
constexpr std::size_t HEADER_SIZE = 256;
constexpr std::size_t AT_MAGIC = 0;
constexpr std::size_t AT_FORMAT = 16;
constexpr std::size_t AT_KIND = 20;
constexpr std::size_t AT_CHIP_SIZE = 24;
constexpr std::size_t AT_REGION_OFFSET = 32;
constexpr std::size_t AT_REGION_SIZE = 40;
constexpr std::size_t AT_BLOCK_SIZE = 48;
constexpr std::size_t AT_BLOCK_COUNT = 52;
constexpr std::size_t AT_WRITE_ID = 56;
constexpr std::size_t AT_TIME = 64;
constexpr std::size_t AT_VERSION = 72; // NUL-padded
constexpr std::size_t VERSION_SIZE = 24;
constexpr std::size_t AT_CHECKSUM = 96;   // SHA-256 of the blocks held, in order
constexpr std::size_t AT_BLOCK_MAP = 128; // one bit a block, block 0 in the low bit of byte 0
static_assert(AT_BLOCK_MAP + REGION_BLOCKS / 8 == HEADER_SIZE);

// A journal file is written under this name beside its own and renamed into place once it is on
// disk, so a run cut short while writing it leaves no journal file that is not whole.
constexpr const char* PARTIAL_SUFFIX = ".partial";

// How many blocks block_words names before it counts the rest.
constexpr std::size_t NAMED_BLOCKS = 4;

void put_le(std::uint8_t* at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint64_t get_le(const std::uint8_t* at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  }
  return value;
}

const std::uint8_t* block_at(const std::uint8_t* region, std::size_t block) {
  return region + block * JOURNAL_BLOCK_SIZE;
}

// Makes the folder's entries durable: the names created, renamed or removed in it.
void sync_folder(int folder) {
  if (::fsync(folder) != 0) {
    fail(failure_kind::journal, STATE_FOLDER, "Unable to sync %s: %s\n", STATE_FOLDER,
         std::strerror(errno));
  }
}

[[noreturn]] void refuse_folder(const std::string& reason) {
  fail(failure_kind::journal, STATE_FOLDER, "Refusing the state folder %s: %s\n", STATE_FOLDER,
       reason.c_str());
}

std::uint64_t new_write_id() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + now.tv_nsec) ^
         (static_cast<std::uint64_t>(::getpid()) << 40);
}

// Writes one journal file: the blocks first, each run of consecutive ones at its offset, then the
// header with their checksum; flushed to disk, renamed into place, and the folder synced.
class journal_writer {
public:
  journal_writer(int folder, const char* name, journal_kind kind, std::uint64_t write_id)
      : folder_(folder), name_(name), partial_(std::string(name) + PARTIAL_SUFFIX), kind_(kind),
        write_id_(write_id) {
    if (::unlinkat(folder_, partial_.c_str(), 0) != 0 && errno != ENOENT) {
      refuse_file();
    }
    file_ = unique_fd(::openat(folder_, partial_.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file_.valid()) {
      refuse_file();
    }
  }

  // Adds `count` consecutive blocks from `first` on.
  void add(std::size_t first, const std::uint8_t* bytes, std::size_t count) {
    if (write_all_at(file_.get(), bytes, count * JOURNAL_BLOCK_SIZE,
                     COREBOOT_REGION_OFFSET + first * JOURNAL_BLOCK_SIZE) != 0) {
      refuse_file();
    }
    checksum_.update(bytes, count * JOURNAL_BLOCK_SIZE);
    for (std::size_t block = first; block < first + count; ++block) {
      blocks_.set(block);
    }
  }

  void finish() {
    std::uint8_t header[HEADER_SIZE] = {};
    std::memcpy(header + AT_MAGIC, MAGIC, sizeof MAGIC);
    put_le(header + AT_FORMAT, FORMAT, 4);
    put_le(header + AT_KIND, static_cast<std::uint32_t>(kind_), 4);
    put_le(header + AT_CHIP_SIZE, FLASH_IMAGE_SIZE, 8);
    put_le(header + AT_REGION_OFFSET, COREBOOT_REGION_OFFSET, 8);
    put_le(header + AT_REGION_SIZE, REGION_SIZE, 8);
    put_le(header + AT_BLOCK_SIZE, JOURNAL_BLOCK_SIZE, 4);
    put_le(header + AT_BLOCK_COUNT, blocks_.count(), 4);
    put_le(header + AT_WRITE_ID, write_id_, 8);
    put_le(header + AT_TIME, static_cast<std::uint64_t>(std::time(nullptr)), 8);
    std::strncpy(reinterpret_cast<char*>(header + AT_VERSION), tool_version(), VERSION_SIZE - 1);
    const sha256_digest digest = checksum_.finish();
    std::memcpy(header + AT_CHECKSUM, digest.bytes, sizeof digest.bytes);
    for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
      header[AT_BLOCK_MAP + block / 8] |= blocks_[block] ? 1u << (block % 8) : 0;
    }
    if (write_all_at(file_.get(), header, sizeof header, 0) != 0 ||
        ::ftruncate(file_.get(), FLASH_IMAGE_SIZE) != 0 || ::fsync(file_.get()) != 0 ||
        ::renameat(folder_, partial_.c_str(), folder_, name_) != 0) {
      refuse_file();
    }
    sync_folder(folder_);
  }

private:
  [[noreturn]] void refuse_file() const {
    fail(failure_kind::journal, journal_path(name_), "Unable to write %s: %s\n",
         journal_path(name_).c_str(), std::strerror(errno));
  }

  int folder_;
  const char* name_;
  std::string partial_;
  journal_kind kind_;
  std::uint64_t write_id_;
  unique_fd file_;
  sha256 checksum_;
  block_set blocks_;
};

journal_file damaged(std::string why) {
  journal_file file;
  file.found = journal_file::state::damaged;
  file.damage = std::move(why);
  return file;
}

// What is wrong with the header of a journal file of `kind`, or null; fills `file` from it.
const char* header_fault(const std::uint8_t* header, journal_kind kind, journal_file& file) {
  if (std::memcmp(header + AT_MAGIC, MAGIC, sizeof MAGIC) != 0) {
    return "it is not a journal file of vek_smbios_util";
  }
  if (get_le(header + AT_FORMAT, 4) != FORMAT) {
    return "its format is not one this version knows";
  }
  if (get_le(header + AT_KIND, 4) != static_cast<std::uint32_t>(kind)) {
    return "it holds the other region of a write";
  }
  if (get_le(header + AT_CHIP_SIZE, 8) != FLASH_IMAGE_SIZE ||
      get_le(header + AT_REGION_OFFSET, 8) != COREBOOT_REGION_OFFSET ||
      get_le(header + AT_REGION_SIZE, 8) != REGION_SIZE ||
      get_le(header + AT_BLOCK_SIZE, 4) != JOURNAL_BLOCK_SIZE) {
    return "it describes another flash layout";
  }
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    file.blocks.set(block, ((header[AT_BLOCK_MAP + block / 8] >> (block % 8)) & 1) != 0);
  }
  const auto version = reinterpret_cast<const char*>(header + AT_VERSION);
  if (get_le(header + AT_BLOCK_COUNT, 4) != file.blocks.count() ||
      (kind == journal_kind::region_before && !file.blocks.all()) ||
      strnlen(version, VERSION_SIZE) == VERSION_SIZE) {
    return "its header does not hold";
  }
  file.write_id = get_le(header + AT_WRITE_ID, 8);
  file.written = static_cast<std::time_t>(get_le(header + AT_TIME, 8));
  file.tool_version = version;
  return nullptr;
}

} // namespace

journal_file load_journal_file(int folder, const char* name, journal_kind kind) {
  const unique_fd fd(
      ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      return {};
    }
    // FreeBSD says EMLINK where Linux says ELOOP for a link opened with O_NOFOLLOW.
    if (errno == ELOOP || errno == EMLINK) {
      return damaged("it is a symbolic link");
    }
    fail(failure_kind::journal, journal_path(name), "Unable to open %s: %s\n",
         journal_path(name).c_str(), std::strerror(errno));
  }
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) {
    fail(failure_kind::journal, journal_path(name), "Unable to check %s: %s\n",
         journal_path(name).c_str(), std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    return damaged("it is not a regular file");
  }
  if (status.st_uid != 0) {
    return damaged("it is not owned by root");
  }
  if (status.st_nlink != 1) {
    return damaged("it has more than one link");
  }
  if (status.st_size != FLASH_IMAGE_SIZE) {
    return damaged("it is " + std::to_string(static_cast<long long>(status.st_size)) +
                   " bytes, not " + std::to_string(static_cast<long long>(FLASH_IMAGE_SIZE)));
  }
  journal_file file;
  std::uint8_t header[HEADER_SIZE];
  if (read_all_at(fd.get(), header, sizeof header, 0) != 0) {
    fail(failure_kind::journal, journal_path(name), "Unable to read %s: %s\n",
         journal_path(name).c_str(), std::strerror(errno));
  }
  if (const char* fault = header_fault(header, kind, file)) {
    return damaged(fault);
  }
  file.region = std::make_unique<region_buffer>();
  if (read_region(fd.get(), *file.region) != 0) {
    fail(failure_kind::journal, journal_path(name), "Unable to read %s: %s\n",
         journal_path(name).c_str(), std::strerror(errno));
  }
  sha256 checksum;
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (file.blocks[block]) {
      checksum.update(block_at(file.region->data(), block), JOURNAL_BLOCK_SIZE);
    }
  }
  const sha256_digest digest = checksum.finish();
  if (std::memcmp(digest.bytes, header + AT_CHECKSUM, sizeof digest.bytes) != 0) {
    return damaged("its checksum does not hold");
  }
  file.found = journal_file::state::whole;
  return file;
}

journal_verdict judge_journal(const std::uint8_t* chip, const journal_file& before,
                              const journal_file& meant) {
  using state = journal_file::state;
  for (const auto& [file, name] :
       {std::pair{&before, REGION_BEFORE_FILE}, {&meant, REGION_MEANT_FILE}}) {
    if (file->found == state::damaged) {
      return {journal_finding::damaged, journal_path(name) + ": " + file->damage};
    }
  }
  if (before.found == state::missing) {
    if (meant.found == state::missing) {
      return {};
    }
    // The region from before is written first and removed last: without it, the journal is not
    // one this tool left.
    return {journal_finding::damaged,
            journal_path(REGION_MEANT_FILE) + ": the region from before the write is missing"};
  }
  if (meant.found == state::missing) {
    return {journal_finding::before_only, ""};
  }
  if (before.write_id != meant.write_id) {
    return {journal_finding::damaged, "its two files belong to different writes"};
  }
  bool all_meant = true;
  bool all_before = true;
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (meant.blocks[block]) {
      const std::uint8_t* chip_block = block_at(chip, block);
      all_meant = all_meant && std::memcmp(chip_block, block_at(meant.region->data(), block),
                                           JOURNAL_BLOCK_SIZE) == 0;
      all_before = all_before && std::memcmp(chip_block, block_at(before.region->data(), block),
                                             JOURNAL_BLOCK_SIZE) == 0;
    }
  }
  if (all_meant) {
    return {journal_finding::write_completed, ""};
  }
  if (all_before) {
    return {journal_finding::write_not_begun, ""};
  }
  const block_set foreign =
      prove_in_transit(chip, before.region->data(), meant.region->data(), meant.blocks);
  if (foreign.none()) {
    return {journal_finding::partly_written, ""};
  }
  return {journal_finding::foreign, block_words(foreign)};
}

block_set prove_in_transit(const std::uint8_t* chip, const std::uint8_t* before,
                           const std::uint8_t* meant, const block_set& changed) {
  block_set foreign;
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (!changed[block]) {
      continue;
    }
    const std::uint8_t* now = block_at(chip, block);
    const std::uint8_t* from = block_at(before, block);
    const std::uint8_t* to = block_at(meant, block);
    bool erasing = true;     // on its way from before towards all ones
    bool programming = true; // on its way from all ones towards the region meant
    for (std::size_t i = 0; i < JOURNAL_BLOCK_SIZE && (erasing || programming); ++i) {
      erasing = erasing && (now[i] & from[i]) == from[i];
      programming = programming && (now[i] & to[i]) == to[i];
    }
    foreign.set(block, !erasing && !programming);
  }
  return foreign;
}

std::string block_words(const block_set& blocks) {
  std::string words;
  std::size_t named = 0;
  for (std::size_t block = 0; block < REGION_BLOCKS && named < NAMED_BLOCKS; ++block) {
    if (blocks[block]) {
      char offset[24];
      std::snprintf(
          offset, sizeof offset, "0x%jx",
          static_cast<std::uintmax_t>(COREBOOT_REGION_OFFSET + block * JOURNAL_BLOCK_SIZE));
      ++named;
      const bool last = named == blocks.count();
      words += named == 1 ? "" : last ? " and " : ", ";
      words += offset;
    }
  }
  if (blocks.count() > named) {
    words += " and " + std::to_string(blocks.count() - named) + " more";
  }
  return words;
}

const char* unsafe_state_folder(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) {
    return "it is a symbolic link";
  }
  if (!S_ISDIR(status.st_mode)) {
    return "it is not a folder";
  }
  if (status.st_uid != 0) {
    return "it is not owned by root";
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "it is writable by group or others";
  }
  return nullptr;
}

unique_fd open_state_folder(bool make) {
  // Every folder above it too: another user who could rename or replace one of them could move
  // the journal aside, or put a journal of their own in its place.
  const path_verdict above = check_trusted_path(folder_of(STATE_FOLDER), path_use::folder);
  if (!above.trusted()) {
    if (above.error == ENOENT && !make) {
      return unique_fd();
    }
    refuse_folder(above.error != 0 ? std::strerror(above.error) : above.refusal);
  }
  bool made = false;
  if (make) {
    made = ::mkdir(STATE_FOLDER, 0700) == 0;
    if (!made && errno != EEXIST) {
      fail(failure_kind::journal, STATE_FOLDER, "Unable to make the state folder %s: %s\n",
           STATE_FOLDER, std::strerror(errno));
    }
  }
  struct stat named;
  if (::lstat(STATE_FOLDER, &named) != 0) {
    if (errno == ENOENT && !make) {
      return unique_fd();
    }
    fail(failure_kind::journal, STATE_FOLDER, "Unable to check the state folder %s: %s\n",
         STATE_FOLDER, std::strerror(errno));
  }
  if (const char* reason = unsafe_state_folder(named)) {
    refuse_folder(reason);
  }
  unique_fd folder(::open(STATE_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened;
  if (!folder.valid() || ::fstat(folder.get(), &opened) != 0) {
    fail(failure_kind::journal, STATE_FOLDER, "Unable to open the state folder %s: %s\n",
         STATE_FOLDER, std::strerror(errno));
  }
  if (!same_file(opened, named)) {
    refuse_folder("another folder took its place");
  }
  // The umask may have taken bits away from a folder made just now; it is root's alone.
  if (made && ::fchmod(folder.get(), 0700) != 0) {
    fail(failure_kind::journal, STATE_FOLDER, "Unable to set the mode of %s: %s\n", STATE_FOLDER,
         std::strerror(errno));
  }
  return folder;
}

std::string journal_path(const char* name) {
  return std::string(STATE_FOLDER) + "/" + name;
}

bool journal_present(int folder) {
  struct stat status;
  return ::fstatat(folder, REGION_BEFORE_FILE, &status, AT_SYMLINK_NOFOLLOW) == 0 ||
         ::fstatat(folder, REGION_MEANT_FILE, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

std::uint64_t save_region_before(int folder, const region_buffer& region) {
  const std::uint64_t write_id = new_write_id();
  journal_writer writer(folder, REGION_BEFORE_FILE, journal_kind::region_before, write_id);
  writer.add(0, region.data(), REGION_BLOCKS);
  writer.finish();
  return write_id;
}

void save_region_meant(int folder, std::uint64_t write_id, const std::string& image_path,
                       const region_buffer& before) {
  const unique_fd image(::open(image_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid()) {
    fail(failure_kind::file, image_path, "Unable to read %s: %s\n", image_path.c_str(),
         std::strerror(errno));
  }
  journal_writer writer(folder, REGION_MEANT_FILE, journal_kind::region_meant, write_id);
  // Read a slice at a time: the slice stays in the processor's cache while it is compared, and
  // only the blocks that differ are written.
  constexpr std::size_t SLICE_BLOCKS = 64;
  const std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[SLICE_BLOCKS * JOURNAL_BLOCK_SIZE]);
  for (std::size_t first = 0; first < REGION_BLOCKS; first += SLICE_BLOCKS) {
    if (read_all_at(image.get(), slice.get(), SLICE_BLOCKS * JOURNAL_BLOCK_SIZE,
                    COREBOOT_REGION_OFFSET + first * JOURNAL_BLOCK_SIZE) != 0) {
      fail(failure_kind::file, image_path, "Unable to read %s: %s\n", image_path.c_str(),
           std::strerror(errno));
    }
    std::size_t run = 0; // consecutive differing blocks ending at the one before `i`
    for (std::size_t i = 0; i <= SLICE_BLOCKS; ++i) {
      const bool differs = i < SLICE_BLOCKS &&
                           std::memcmp(block_at(slice.get(), i), block_at(before.data(), first + i),
                                       JOURNAL_BLOCK_SIZE) != 0;
      if (differs) {
        ++run;
      } else if (run > 0) {
        writer.add(first + i - run, block_at(slice.get(), i - run), run);
        run = 0;
      }
    }
  }
  writer.finish();
}

std::string kept_region_words(const char* opening) {
  return format_text("%s; its content before the write is kept in %s; run vek_smbios_util "
                     "--restore to put it back\n",
                     opening, journal_path(REGION_BEFORE_FILE).c_str());
}

void remove_journal(int folder) {
  // Without the region meant for the chip a journal says the chip holds a whole region, so a
  // removal cut short after the first name is still read right.
  for (const char* name : {REGION_MEANT_FILE, REGION_BEFORE_FILE}) {
    // A folder put at a journal file's name goes too, when it is empty.
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT &&
        ((errno != EISDIR && errno != EPERM) || ::unlinkat(folder, name, AT_REMOVEDIR) != 0)) {
      fail(failure_kind::journal, journal_path(name), "Unable to remove %s: %s\n",
           journal_path(name).c_str(), std::strerror(errno));
    }
  }
  sync_folder(folder);
}
