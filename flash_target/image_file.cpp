// An image file as a run's target.
#include "flash_target/image_file.h"

#include "system/file_checks.h"
#include "system/leftovers.h"
#include "system/stale_files.h"
#include "util/failure.h"
#include "util/file_io.h"
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

// How often a private folder is made anew when another run takes it for a leftover as it is made.
constexpr int PRIVATE_FOLDER_ATTEMPTS = 10;

[[noreturn]] void refuse_image(const std::string& path) {
  fail(failure_kind::image, path, "Image file %s is not a regular file of %jd bytes\n",
       path.c_str(), static_cast<std::intmax_t>(FLASH_IMAGE_SIZE));
}

// Copies bytes from `from` to `to` at the same offsets, from `done` up to `length`, through a
// buffer. Returns 0, or -1 with errno set (EIO for a file that ends early).
int copy_through_buffer(int from, int to, off_t done, off_t length) {
  char buffer[256 * 1024];
  while (done < length) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<off_t>(length - done, sizeof buffer));
    if (read_all_at(from, buffer, wanted, done) != 0 ||
        write_all_at(to, buffer, wanted, done) != 0) {
      return -1;
    }
    done += static_cast<off_t>(wanted);
  }
  return 0;
}

// Copies `length` bytes from the start of `from` to the start of `to`. Returns 0, or -1 with
// errno set (EIO for a file that ends early). Where the system can copy between files itself
// (Linux and FreeBSD), the bytes never pass through the tool: the copy is most of a run's own
// work. Whatever that call cannot do is done through a buffer.
int copy_bytes(int from, int to, off_t length) {
  off_t done = 0;
#if defined(__linux__) || defined(__FreeBSD__)
  while (done < length) {
    off_t from_offset = done;
    off_t to_offset = done;
    const ssize_t copied = ::copy_file_range(from, &from_offset, to, &to_offset,
                                             static_cast<std::size_t>(length - done), 0);
    if (copied < 0 && errno == EINTR) {
      continue;
    }
    if (copied == 0) {
      errno = EIO;
      return -1;
    }
    if (copied < 0) {
      break; // not between these files: the buffer copies the rest
    }
    done += copied;
  }
#endif
  return copy_through_buffer(from, to, done, length);
}

// Makes the run's private folder in /tmp, locked for as long as `owner` owns it so that no later
// run takes it for a leftover. Returns its path. Ends the run on failure.
std::string make_private_folder(leftover& owner) {
  int error = 0;
  for (int attempt = 0; attempt < PRIVATE_FOLDER_ATTEMPTS; ++attempt) {
    std::string folder = PRIVATE_FOLDER_TEMPLATE;
    if (::mkdtemp(folder.data()) == nullptr) {
      error = errno;
      break;
    }
    unique_fd held(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (held.valid() && hold_private_folder(held.get())) {
      owner = leftover(folder, leftover_kind::folder, std::move(held));
      return folder;
    }
    // Another run took it for a leftover as it was made, and removes it.
    error = errno;
  }
  fail_writing(
      error, "/tmp",
      format_text("Unable to create a working folder in /tmp: %s\n", std::strerror(error)));
}

// Copies the whole image open on `image_fd` into the working copy at `copy_path`. Ends the run
// with `words` and the system's error.
void copy_whole_image(int image_fd, const std::string& copy_path, const std::string& subject,
                      const std::string& words) {
  const unique_fd copy(::open(copy_path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.valid() || copy_bytes(image_fd, copy.get(), FLASH_IMAGE_SIZE) != 0) {
    const int error = errno;
    fail_writing(error, subject, words + ": " + std::strerror(error) + "\n");
  }
}

// Checks the image file by its name, before it is opened: a device is refused before it is ever
// opened, a link when the run would replace it, and a path another user could change.
void check_image_name(const std::string& path, bool follow_link) {
  struct stat named;
  bool known = ::lstat(path.c_str(), &named) == 0;
  if (known && S_ISLNK(named.st_mode)) {
    if (!follow_link) {
      fail(failure_kind::image, path,
           "Image file %s is a symbolic link: replacing it would replace the link, not the file "
           "it names\n",
           path.c_str());
    }
    known = ::stat(path.c_str(), &named) == 0;
  }
  if (known && !S_ISREG(named.st_mode)) {
    refuse_image(path);
  }
  // Every folder up to it must be one that no other user can change, or the working copy made
  // beside it and the rename over it could be steered to another file.
  const path_verdict verdict = check_trusted_path(path, path_use::input);
  if (!verdict.trusted()) {
    fail(failure_kind::file, path, "Unable to open image file %s: %s\n", path.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
}

// Takes the exclusive lock of a run that changes the image open on `image` (`status` its fstat).
void lock_image(int image, const std::string& path, const struct stat& status) {
  switch (lock_exclusively(image)) {
  case lock_result::taken:
    break;
  case lock_result::held:
    fail(failure_kind::lock, path, "Image file %s is in use by another run\n", path.c_str());
  case lock_result::failed:
    fail(failure_kind::lock, path, "Unable to lock image file %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  // A run that held the lock until just now may have renamed its result over the name: the
  // lock is then on the old file, and working on that would undo the other run's change.
  struct stat now;
  if (::stat(path.c_str(), &now) != 0 || !same_file(now, status)) {
    fail(failure_kind::lock, path, "Image file %s is in use by another run\n", path.c_str());
  }
}

} // namespace

unique_fd open_image_file(const std::string& path, bool lock, bool follow_link) {
  check_image_name(path, follow_link);
  // Not blocking, so a FIFO put in its place cannot hold the run before the check below.
  unique_fd image(::open(path.c_str(), O_RDONLY | (follow_link ? 0 : O_NOFOLLOW) | O_NONBLOCK |
                                           O_NOCTTY | O_CLOEXEC));
  if (!image.valid()) {
    fail(failure_kind::file, path, "Unable to open image file %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  struct stat status;
  if (::fstat(image.get(), &status) != 0 || image_file_fault(status) != image_fault::none) {
    refuse_image(path);
  }
  if (lock) {
    lock_image(image.get(), path, status);
  }
  return image;
}

working_files make_image_working_files(const image_destination* destination) {
  working_files files;
  const std::string private_folder = make_private_folder(files.folder_leftover);
  files.layout.clear();
  files.record = private_folder + "/" + RECORD_FILE_NAME;
  files.record_leftover = leftover(files.record, leftover_kind::file);
  if (destination != nullptr) {
    files.image = make_working_copy(*destination, files.image_leftover);
  } else {
    // A dry run makes nothing beside the image or the output file: its working copy is private.
    files.image = private_folder + "/" + DRY_RUN_IMAGE_NAME;
    files.image_leftover = leftover(files.image, leftover_kind::file);
    const unique_fd copy(
        ::open(files.image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!copy.valid()) {
      fail(failure_kind::file, files.image, "Unable to create %s: %s\n", files.image.c_str(),
           std::strerror(errno));
    }
  }
  return files;
}

void copy_image_file(int image_fd, const std::string& image_path, const std::string& copy_path) {
  copy_whole_image(image_fd, copy_path, copy_path,
                   format_text("Unable to copy %s to %s", image_path.c_str(), copy_path.c_str()));
}

void copy_image_for(int image_fd, const std::string& copy_path, const std::string& output_path) {
  copy_whole_image(image_fd, copy_path, output_path,
                   format_text("Unable to make %s", output_path.c_str()));
}

void lay_image_low_region(int image_fd, const std::string& image_path,
                          const std::string& copy_path) {
  const unique_fd copy(::open(copy_path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.valid() || copy_bytes(image_fd, copy.get(), COREBOOT_REGION_OFFSET) != 0) {
    fail(failure_kind::file, copy_path, "Unable to copy %s to %s: %s\n", image_path.c_str(),
         copy_path.c_str(), std::strerror(errno));
  }
}
