// An image file as a run's target.
#include "target/image_file.h"

#include "system/file_checks.h"
#include "system/leftovers.h"
#include "util/fail.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* PRIVATE_FOLDER_TEMPLATE = "/tmp/vek_smbios_util.XXXXXX";
constexpr const char* RECORD_FILE_NAME = "/dmi.bin";

// The working copy's entry among the run's leftovers; it stops being one once it has replaced
// the image file.
int working_copy_entry = -1;

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

[[noreturn]] void refuse_image(const std::string& path) {
  fail("Image file %s is not a regular file of %jd bytes\n", path.c_str(),
       static_cast<std::intmax_t>(FLASH_IMAGE_SIZE));
}

// Copies `length` bytes from the start of `from` to the start of `to`. Returns 0, or -1 with
// errno set (EIO for a file that ends early).
int copy_bytes(int from, int to, off_t length) {
  char buffer[64 * 1024];
  off_t done = 0;
  while (done < length) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<off_t>(length - done, sizeof buffer));
    const ssize_t got = ::pread(from, buffer, wanted, done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      errno = got == 0 ? EIO : errno;
      return -1;
    }
    for (ssize_t put = 0; put < got;) {
      const ssize_t written =
          ::pwrite(to, buffer + put, static_cast<std::size_t>(got - put), done + put);
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        errno = written == 0 ? EIO : errno;
        return -1;
      }
      put += written;
    }
    done += got;
  }
  return 0;
}

// The folder is synced so the rename itself survives a power cut; a folder that cannot be
// opened or synced leaves the rename done, only perhaps not yet on disk.
void sync_folder(const std::string& folder) {
  const unique_fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) {
    ::fsync(fd.get());
  }
}

} // namespace

int open_image_file(const std::string& path, bool lock) {
  struct stat link_status;
  if (::lstat(path.c_str(), &link_status) == 0 && !S_ISREG(link_status.st_mode)) {
    refuse_image(path);
  }
  // Every folder up to it must be one that no other user can change, or the working copy made
  // beside it and the rename over it could be steered to another file.
  const path_verdict verdict = check_trusted_path(path, path_use::input);
  if (!verdict.trusted()) {
    fail("Unable to open image file %s: %s\n", path.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
  // Not blocking, so a FIFO put in its place cannot hold the run before the check below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    fail("Unable to open image file %s: %s\n", path.c_str(), std::strerror(errno));
  }
  struct stat status;
  if (::fstat(fd, &status) != 0 || image_file_fault(status) != image_fault::none) {
    refuse_image(path);
  }
  if (!lock) {
    return fd;
  }
  switch (lock_exclusively(fd)) {
  case lock_result::taken:
    break;
  case lock_result::held:
    fail("Image file %s is in use by another run\n", path.c_str());
  case lock_result::failed:
    fail("Unable to lock image file %s: %s\n", path.c_str(), std::strerror(errno));
  }
  // A run that held the lock until just now may have renamed its result over the name: the
  // lock is then on the old file, and working on that would undo the other run's change.
  struct stat now;
  if (::stat(path.c_str(), &now) != 0 || !same_file(now, status)) {
    fail("Image file %s is in use by another run\n", path.c_str());
  }
  return fd;
}

working_files make_image_working_files(const std::string& image_path) {
  const std::string folder = folder_of(image_path);
  std::string copy = folder + (folder == "/" ? "." : "/.") + name_of(image_path) + ".XXXXXX";
  const int copy_fd = ::mkstemp(copy.data());
  if (copy_fd < 0) {
    fail("Unable to create a working copy beside %s: %s\n", image_path.c_str(),
         std::strerror(errno));
  }
  working_copy_entry = note_leftover(copy.c_str(), leftover_kind::file);
  ::close(copy_fd);

  std::string private_folder = PRIVATE_FOLDER_TEMPLATE;
  if (::mkdtemp(private_folder.data()) == nullptr) {
    fail("Unable to create a working folder in /tmp: %s\n", std::strerror(errno));
  }
  note_leftover(private_folder.c_str(), leftover_kind::folder);
  const std::string record_file = private_folder + RECORD_FILE_NAME;
  note_leftover(record_file.c_str(), leftover_kind::file);

  working_files files;
  files.image = copy;
  files.layout.clear();
  files.record = record_file;
  return files;
}

void copy_image_file(int image_fd, const std::string& image_path, const std::string& copy_path) {
  const unique_fd copy(::open(copy_path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.valid() || copy_bytes(image_fd, copy.get(), FLASH_IMAGE_SIZE) != 0) {
    fail("Unable to copy %s to %s: %s\n", image_path.c_str(), copy_path.c_str(),
         std::strerror(errno));
  }
}

void replace_image_file(int image_fd, const std::string& image_path, const std::string& copy_path) {
  const unique_fd copy(::open(copy_path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.valid()) {
    fail("Unable to open %s: %s\n", copy_path.c_str(), std::strerror(errno));
  }
  struct stat copy_status;
  if (::fstat(copy.get(), &copy_status) != 0 ||
      image_file_fault(copy_status) != image_fault::none) {
    fail("Working image %s is not %jd bytes; %s is left as it was\n", copy_path.c_str(),
         static_cast<std::intmax_t>(FLASH_IMAGE_SIZE), image_path.c_str());
  }
  struct stat image_status;
  if (::fstat(image_fd, &image_status) != 0 ||
      copy_bytes(image_fd, copy.get(), COREBOOT_REGION_OFFSET) != 0) {
    fail("Unable to copy %s to %s: %s\n", image_path.c_str(), copy_path.c_str(),
         std::strerror(errno));
  }
  // The owner first: changing it may clear the set-id bits that the mode then puts back. Only
  // root may give a file away; anyone else's copy is theirs, as the image file most likely is.
  if (::geteuid() == 0 && ::fchown(copy.get(), image_status.st_uid, image_status.st_gid) != 0) {
    // Left owned by root: the image itself is still replaced, with its permissions.
  }
  if (::fchmod(copy.get(), image_status.st_mode & 07777) != 0 || ::fsync(copy.get()) != 0) {
    fail("Unable to write %s: %s\n", copy_path.c_str(), std::strerror(errno));
  }
  struct stat now;
  if (::stat(image_path.c_str(), &now) != 0 || !same_file(now, image_status)) {
    fail("Image file %s was replaced during the run; it is left as it is\n", image_path.c_str());
  }
  if (::rename(copy_path.c_str(), image_path.c_str()) != 0) {
    fail("Unable to replace %s: %s\n", image_path.c_str(), std::strerror(errno));
  }
  forget_leftover(working_copy_entry);
  sync_folder(folder_of(image_path));
}
