// The journal of a flash write in the state folder.
#include "flash_target/journal.h"

#include "system/file_checks.h"
#include "system/flash_files.h"
#include "util/fail.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t REGION_SIZE = FLASH_IMAGE_SIZE - COREBOOT_REGION_OFFSET;

// Reads up to the region's size from `fd` at the region's offset. Returns -1 with errno set.
int read_region(int fd, std::string& region) {
  region.assign(REGION_SIZE, '\0');
  std::size_t done = 0;
  while (done < REGION_SIZE) {
    const ssize_t got =
        ::pread(fd, region.data() + done, REGION_SIZE - done, COREBOOT_REGION_OFFSET + done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  region.resize(done);
  return 0;
}

int write_all_at(int fd, const std::string& bytes, off_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0) {
      return -1;
    }
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

// Makes the folder's entries durable: the names created or removed in it.
void sync_folder(int folder) {
  if (::fsync(folder) != 0) {
    fail("Unable to sync %s: %s\n", STATE_FOLDER, std::strerror(errno));
  }
}

[[noreturn]] void refuse_folder(const char* reason) {
  fail("Refusing the state folder %s: %s\n", STATE_FOLDER, reason);
}

} // namespace

journal_finding judge_journal(std::string_view chip, const std::optional<std::string>& before,
                              const std::optional<std::string>& meant) {
  if (!before && !meant) {
    return journal_finding::none;
  }
  if (meant && chip == *meant) {
    return journal_finding::write_completed;
  }
  if (!meant || (before && chip == *before)) {
    return journal_finding::write_not_begun;
  }
  return journal_finding::unknown;
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

int open_state_folder(bool make) {
  bool made = false;
  if (make) {
    made = ::mkdir(STATE_FOLDER, 0700) == 0;
    if (!made && errno != EEXIST) {
      fail("Unable to make the state folder %s: %s\n", STATE_FOLDER, std::strerror(errno));
    }
  }
  struct stat named;
  if (::lstat(STATE_FOLDER, &named) != 0) {
    if (errno == ENOENT && !make) {
      return -1;
    }
    fail("Unable to check the state folder %s: %s\n", STATE_FOLDER, std::strerror(errno));
  }
  if (const char* reason = unsafe_state_folder(named)) {
    refuse_folder(reason);
  }
  unique_fd folder(::open(STATE_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened;
  if (!folder.valid() || ::fstat(folder.get(), &opened) != 0) {
    fail("Unable to open the state folder %s: %s\n", STATE_FOLDER, std::strerror(errno));
  }
  if (!same_file(opened, named)) {
    refuse_folder("another folder took its place");
  }
  // The umask may have taken bits away from a folder made just now; it is root's alone.
  if (made && ::fchmod(folder.get(), 0700) != 0) {
    fail("Unable to set the mode of %s: %s\n", STATE_FOLDER, std::strerror(errno));
  }
  return folder.release();
}

std::string journal_path(const char* name) {
  return std::string(STATE_FOLDER) + "/" + name;
}

std::string read_coreboot_region_bytes(const std::string& path) {
  const unique_fd image(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  std::string region;
  if (!image.valid() || read_region(image.get(), region) != 0) {
    fail("Unable to read %s: %s\n", path.c_str(), std::strerror(errno));
  }
  return region;
}

void save_journal_region(int folder, const char* name, const std::string& image_path) {
  const std::string region = read_coreboot_region_bytes(image_path);
  if (region.size() != REGION_SIZE) {
    fail("Unable to keep the coreboot region of %s: the file is short\n", image_path.c_str());
  }
  const unique_fd file(
      ::openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  // Written at the region's offset after a truncation, so the part before it is a hole.
  if (!file.valid() || write_all_at(file.get(), region, COREBOOT_REGION_OFFSET) != 0 ||
      ::fsync(file.get()) != 0) {
    fail("Unable to write %s: %s\n", journal_path(name).c_str(), std::strerror(errno));
  }
  sync_folder(folder);
}

std::optional<std::string> load_journal_region(int folder, const char* name) {
  const unique_fd file(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid() && errno == ENOENT) {
    return std::nullopt;
  }
  std::string region;
  if (!file.valid() || read_region(file.get(), region) != 0) {
    fail("Unable to read %s: %s\n", journal_path(name).c_str(), std::strerror(errno));
  }
  return region;
}

void report_kept_region(const char* opening) {
  std::fprintf(stderr,
               "%s; its content before the write is kept in %s; run vek_smbios_util --restore to "
               "put it back\n",
               opening, journal_path(REGION_BEFORE_FILE).c_str());
}

void remove_journal(int folder) {
  // Without the region meant for the chip a journal says no write began, so a removal cut short
  // after the first name is still read right.
  for (const char* name : {REGION_MEANT_FILE, REGION_BEFORE_FILE}) {
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT) {
      fail("Unable to remove %s: %s\n", journal_path(name).c_str(), std::strerror(errno));
    }
  }
  sync_folder(folder);
}
