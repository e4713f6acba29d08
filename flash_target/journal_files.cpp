// The journal's files in the state folder.
#include "flash_target/journal_files.h"

#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/version.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A journal file is written under this name beside its own and renamed into place once it is on
// disk, so a run cut short while writing it leaves no journal file that is not whole.
constexpr const char* PARTIAL_SUFFIX = ".partial";

// Ends the run for a call on the state folder that failed: "Unable to `what` FOLDER: why".
[[noreturn]] void refuse_folder_call(const char* what) {
  fail(failure_kind::journal, STATE_FOLDER, "Unable to %s %s: %s\n", what, STATE_FOLDER,
       std::strerror(errno));
}

// Makes the folder's entries durable: the names created, renamed or removed in it.
void sync_folder(int folder) {
  if (::fsync(folder) != 0) {
    refuse_folder_call("sync");
  }
}

[[noreturn]] void refuse_folder(const std::string& reason) {
  fail(failure_kind::journal, STATE_FOLDER, "Refusing the state folder %s: %s\n", STATE_FOLDER,
       reason.c_str());
}

// Ends the run for a journal file that cannot be `what` ("open", "write"), with the system's words.
[[noreturn]] void refuse_journal_file(const char* what, const char* name) {
  fail(failure_kind::journal, journal_path(name), "Unable to %s %s: %s\n", what,
       journal_path(name).c_str(), std::strerror(errno));
}

std::uint64_t new_write_id() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + now.tv_nsec) ^
         (static_cast<std::uint64_t>(::getpid()) << 40);
}

// Makes the state folder when it is missing. Returns whether this run made it.
bool make_state_folder() {
  if (::mkdir(STATE_FOLDER, 0700) == 0) {
    return true;
  }
  if (errno != EEXIST) {
    refuse_folder_call("make the state folder");
  }
  return false;
}

// Opens the state folder found at its name with status `named`, refusing another in its place.
unique_fd open_named_folder(const struct stat& named) {
  unique_fd folder(::open(STATE_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened;
  if (!folder.valid() || ::fstat(folder.get(), &opened) != 0) {
    refuse_folder_call("open the state folder");
  }
  if (!same_file(opened, named)) {
    refuse_folder("another folder took its place");
  }
  return folder;
}

journal_file damaged(std::string why) {
  return {journal_file::state::damaged, std::move(why), {}, nullptr};
}

// Reads the header and the blocks of the journal file open on `fd` into `file`. Returns why the
// file is damaged, or "" for a sound one.
std::string read_journal_file(int fd, const char* name, journal_kind kind, journal_file& file) {
  std::uint8_t header[JOURNAL_HEADER_SIZE];
  file.region = std::make_unique<region_buffer>();
  if (read_all_at(fd, header, sizeof header, 0) != 0 || read_region(fd, *file.region) != 0) {
    refuse_journal_file("read", name);
  }
  if (const char* fault = decode_journal_header(header, kind, file.header)) {
    return fault;
  }
  journal_checksum checksum;
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    if (file.header.blocks[block]) {
      checksum.add(block_at(file.region->data(), block), 1);
    }
  }
  return checksum.finish(header) == file.header.checksum ? "" : "its checksum does not hold";
}

} // namespace

std::string unsafe_state_folder(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) {
    return "is a symbolic link";
  }
  if (!S_ISDIR(status.st_mode)) {
    return "is not a folder";
  }
  return ownership_words(ownership_fault_of(status), status);
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
  const bool made = make && make_state_folder();
  struct stat named;
  if (::lstat(STATE_FOLDER, &named) != 0) {
    if (errno == ENOENT && !make) {
      return unique_fd();
    }
    refuse_folder_call("check the state folder");
  }
  if (const std::string fault = unsafe_state_folder(named); !fault.empty()) {
    refuse_folder("it " + fault);
  }
  unique_fd folder = open_named_folder(named);
  // The umask may have taken bits away from a folder made just now; it is root's alone.
  if (made && ::fchmod(folder.get(), 0700) != 0) {
    refuse_folder_call("set the mode of");
  }
  return folder;
}

bool journal_present(int folder) {
  struct stat status;
  return ::fstatat(folder, REGION_BEFORE_FILE, &status, AT_SYMLINK_NOFOLLOW) == 0 ||
         ::fstatat(folder, REGION_MEANT_FILE, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string unowned_journal_file(const struct stat& status) {
  return own_file_fault(status);
}

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
    refuse_journal_file("open", name);
  }
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) {
    refuse_journal_file("check", name);
  }
  if (const std::string fault = unowned_journal_file(status); !fault.empty()) {
    return damaged("it " + fault);
  }
  if (status.st_size != FLASH_IMAGE_SIZE) {
    return damaged("it is " + std::to_string(static_cast<long long>(status.st_size)) +
                   " bytes, not " + std::to_string(static_cast<long long>(FLASH_IMAGE_SIZE)));
  }
  journal_file file;
  if (std::string fault = read_journal_file(fd.get(), name, kind, file); !fault.empty()) {
    return damaged(std::move(fault));
  }
  file.found = journal_file::state::whole;
  return file;
}

journal_writer::journal_writer(int folder, const char* name, journal_kind kind,
                               std::uint64_t write_id, const board_identity& identity)
    : folder_(folder), name_(name), partial_(std::string(name) + PARTIAL_SUFFIX) {
  header_.kind = kind;
  header_.write_id = write_id;
  header_.identity = identity;
  if (::unlinkat(folder_, partial_.c_str(), 0) != 0 && errno != ENOENT) {
    refuse_journal_file("write", name_);
  }
  file_ = unique_fd(::openat(folder_, partial_.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file_.valid()) {
    refuse_journal_file("write", name_);
  }
}

void journal_writer::add(std::size_t first, const std::uint8_t* bytes, std::size_t count) {
  if (write_all_at(file_.get(), bytes, count * JOURNAL_BLOCK_SIZE,
                   COREBOOT_REGION_OFFSET + first * JOURNAL_BLOCK_SIZE) != 0) {
    refuse_journal_file("write", name_);
  }
  checksum_.add(bytes, count);
  for (std::size_t block = first; block < first + count; ++block) {
    header_.blocks.set(block);
  }
}

void journal_writer::finish() {
  header_.written = std::time(nullptr);
  header_.tool_version = tool_version();
  std::uint8_t bytes[JOURNAL_HEADER_SIZE];
  encode_journal_header(header_, bytes);
  header_.checksum = checksum_.finish(bytes);
  encode_journal_header(header_, bytes);
  if (write_all_at(file_.get(), bytes, sizeof bytes, 0) != 0 ||
      ::ftruncate(file_.get(), FLASH_IMAGE_SIZE) != 0 || ::fsync(file_.get()) != 0 ||
      ::renameat(folder_, partial_.c_str(), folder_, name_) != 0) {
    refuse_journal_file("write", name_);
  }
  sync_folder(folder_);
}

journal_start save_region_before(int folder, const region_buffer& region,
                                 const board_identity& identity) {
  const journal_start start{new_write_id(), identity};
  journal_writer writer(folder, REGION_BEFORE_FILE, journal_kind::region_before, start.write_id,
                        identity);
  writer.add(0, region.data(), REGION_BLOCKS);
  writer.finish();
  return start;
}

void save_region_meant(int folder, const journal_start& start, const std::string& image_path,
                       const region_buffer& before) {
  const auto refuse_image = [&image_path] {
    fail(failure_kind::file, image_path, "Unable to read %s: %s\n", image_path.c_str(),
         std::strerror(errno));
  };
  const unique_fd image(::open(image_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid()) {
    refuse_image();
  }
  journal_writer writer(folder, REGION_MEANT_FILE, journal_kind::region_meant, start.write_id,
                        start.identity);
  // Read a slice at a time: the slice stays in the processor's cache while it is compared, and
  // only the blocks that differ are written.
  constexpr std::size_t SLICE_BLOCKS = 64;
  const std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[SLICE_BLOCKS * JOURNAL_BLOCK_SIZE]);
  for (std::size_t first = 0; first < REGION_BLOCKS; first += SLICE_BLOCKS) {
    if (read_all_at(image.get(), slice.get(), SLICE_BLOCKS * JOURNAL_BLOCK_SIZE,
                    COREBOOT_REGION_OFFSET + first * JOURNAL_BLOCK_SIZE) != 0) {
      refuse_image();
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

void remove_journal(int folder) {
  // Without the region meant for the chip a journal says the chip holds a whole region, so a
  // removal cut short after the first name is still read right.
  for (const char* name : {REGION_MEANT_FILE, REGION_BEFORE_FILE}) {
    // A folder put at a journal file's name goes too, when it is empty.
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT &&
        ((errno != EISDIR && errno != EPERM) || ::unlinkat(folder, name, AT_REMOVEDIR) != 0)) {
      refuse_journal_file("remove", name);
    }
  }
  sync_folder(folder);
}
