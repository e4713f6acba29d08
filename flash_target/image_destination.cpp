// The destination of an image file run: the image file, or the -o file.
#include "flash_target/image_destination.h"

#include "system/file_checks.h"
#include "system/flash_files.h"
#include "system/leftovers.h"
#include "system/stale_files.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The destination's folder opened, its name split off. Ends the run on failure.
image_destination open_destination_folder(const std::string& path) {
  image_destination destination;
  destination.path = path;
  destination.folder_path = folder_of(path);
  destination.name = name_of(path);
  destination.folder.reset(
      ::open(destination.folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  if (!destination.folder.valid()) {
    fail(failure_kind::file, destination.folder_path, "Unable to open folder %s: %s\n",
         destination.folder_path.c_str(), std::strerror(errno));
  }
  return destination;
}

// The working copy at `copy_path`, opened through the destination's folder: it must be a whole
// image. Ends the run on failure, the destination as it was.
unique_fd open_complete_copy(const image_destination& destination, const std::string& copy_path) {
  unique_fd copy(::openat(destination.folder.get(), name_of(copy_path).c_str(),
                          O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!copy.valid()) {
    fail(failure_kind::file, copy_path, "Unable to open %s: %s\n", copy_path.c_str(),
         std::strerror(errno));
  }
  struct stat status;
  if (::fstat(copy.get(), &status) != 0 || image_file_fault(status) != image_fault::none) {
    fail(failure_kind::image, copy_path,
         "Working image %s is not %jd bytes; %s is left as it was\n", copy_path.c_str(),
         static_cast<std::intmax_t>(FLASH_IMAGE_SIZE), destination.path.c_str());
  }
  return copy;
}

// Gives the working copy open on `copy` the image file's permissions, and its owner where the
// run may give it. Ends the run on failure.
void give_image_permissions(const image_destination& destination, int copy,
                            const std::string& copy_path) {
  // The owner first: changing it may clear the set-id bits that the mode then puts back.
  if (destination.keep_owner && ::fchown(copy, destination.owner, destination.group) != 0) {
    // Left owned by the tool's user: the file is still made, with its permissions.
  }
  if (::fchmod(copy, destination.mode) != 0) {
    fail(failure_kind::file, copy_path, "Unable to write %s: %s\n", copy_path.c_str(),
         std::strerror(errno));
  }
}

// Ends the run unless the destination's name still holds the image open on `image_fd`: a result
// renamed over another file would undo what another run made of it.
void refuse_replaced_image(const image_destination& destination, int image_fd) {
  struct stat now;
  struct stat image;
  if (::fstatat(destination.folder.get(), destination.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      ::fstat(image_fd, &image) != 0 || !same_file(now, image)) {
    fail(failure_kind::image, destination.path,
         "Image file %s was replaced during the run; it is left as it is\n",
         destination.path.c_str());
  }
}

// Refuses an output name the rename could not safely replace: a folder's, a symbolic link
// wherever it leads (the rename would replace the link itself, and a link such as /dev/stdout is
// no file to replace), or one in a folder another user could change, or another user's file.
void refuse_output_name(const std::string& output_path, const std::string& name) {
  if (name.empty() || name == "." || name == "..") {
    fail(failure_kind::file, output_path, "Output file %s names a folder\n", output_path.c_str());
  }
  struct stat named;
  if (::lstat(output_path.c_str(), &named) == 0 && S_ISLNK(named.st_mode)) {
    fail(failure_kind::file, output_path, "Output file %s is a symbolic link\n",
         output_path.c_str());
  }
  // Every folder up to it must be one that no other user can change, or the rename into place
  // could be steered to another file; a file already there must be one no other user could have
  // put there, even in a sticky folder such as /tmp, where they may create files.
  const path_verdict verdict = check_trusted_path(output_path, path_use::replaced);
  if (!verdict.trusted()) {
    fail(failure_kind::file, output_path, "Unable to open output file %s: %s\n",
         output_path.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
}

} // namespace

void fail_writing(int error, const std::string& path, std::string message) {
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::file, std::move(message), path)
      .with_system_error(error);
}

image_destination image_file_destination(int image_fd, const std::string& image_path) {
  image_destination destination = open_destination_folder(image_path);
  destination.in_place = true;
  struct stat status;
  if (::fstat(image_fd, &status) != 0) {
    fail(failure_kind::image, image_path, "Unable to check %s: %s\n", image_path.c_str(),
         std::strerror(errno));
  }
  destination.mode = status.st_mode & 07777;
  destination.owner = status.st_uid;
  destination.group = status.st_gid;
  // Only root may give a file away; anyone else's copy is theirs, as the image most likely is.
  destination.keep_owner = ::geteuid() == 0;
  return destination;
}

image_destination output_file_destination(const std::string& output_path, int image_fd,
                                          const std::string& image_path) {
  const std::string name = name_of(output_path);
  refuse_output_name(output_path, name);
  image_destination destination = open_destination_folder(output_path);
  struct stat image;
  if (::fstat(image_fd, &image) != 0) {
    fail(failure_kind::image, image_path, "Unable to check %s: %s\n", image_path.c_str(),
         std::strerror(errno));
  }
  // The name itself, not a file it may link to: that is what the rename replaces. (A name that
  // leads to the image file itself was refused with the other files named on the command line.)
  struct stat there;
  const bool exists =
      ::fstatat(destination.folder.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && same_file(there, image)) {
    fail(failure_kind::file, output_path, "Output file %s is the image file %s itself\n",
         output_path.c_str(), image_path.c_str());
  }
  if (exists && S_ISDIR(there.st_mode)) {
    fail(failure_kind::file, output_path, "Output file %s names a folder\n", output_path.c_str());
  }
  // Whatever another user puts at the name from here on is replaced by the rename, never written
  // into; in a sticky folder the system refuses that rename to anyone but root.
  return destination;
}

std::string make_working_copy(const image_destination& destination, leftover& copy) {
  static constexpr char LETTERS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // In place the copy is kept from others until it has the image's permissions; the -o file is
  // made with its own from the start (the umask applies), as nothing changes them later.
  const mode_t mode = destination.in_place ? 0600 : 0644;
  // No later run takes the copy for a leftover while the run holds its folder so.
  hold_working_folder(destination.folder.get());
  // The name need not be hard to guess: it is created exclusively, never followed, so a name
  // taken by someone else only means another try.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  unsigned long long seed = static_cast<unsigned long long>(now.tv_nsec) ^
                            (static_cast<unsigned long long>(::getpid()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = WORKING_COPY_PREFIX;
    for (int i = 0; i < 6; ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      name += LETTERS[(seed >> 33) % (sizeof LETTERS - 1)];
    }
    const unique_fd made(::openat(destination.folder.get(), name.c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!made.valid() && errno == EEXIST) {
      continue;
    }
    if (!made.valid()) {
      break;
    }
    const std::string path =
        destination.folder_path + (destination.folder_path == "/" ? "" : "/") + name;
    copy = leftover(path, leftover_kind::file);
    return path;
  }
  const int error = errno;
  fail_writing(error, destination.path,
               format_text("Unable to create a working copy beside %s: %s\n",
                           destination.path.c_str(), std::strerror(error)));
}

void place_working_copy(const image_destination& destination, const std::string& copy_path,
                        leftover& copy_leftover, int image_fd, flush when) {
  const std::string copy_name = name_of(copy_path);
  const unique_fd copy = open_complete_copy(destination, copy_path);
  if (destination.in_place) {
    give_image_permissions(destination, copy.get(), copy_path);
  }
  if (::fsync(copy.get()) != 0) {
    const int error = errno;
    fail_writing(
        error, destination.path,
        format_text("Unable to make %s: %s\n", destination.path.c_str(), std::strerror(error)));
  }
  if (destination.in_place) {
    refuse_replaced_image(destination, image_fd);
  }
  if (::renameat(destination.folder.get(), copy_name.c_str(), destination.folder.get(),
                 destination.name.c_str()) != 0) {
    const int error = errno;
    fail_writing(
        error, destination.path,
        format_text("Unable to replace %s: %s\n", destination.path.c_str(), std::strerror(error)));
  }
  copy_leftover.keep();
  // The folder is synced so the rename itself survives a power cut; a folder that cannot be
  // synced leaves the rename done, only perhaps not yet on disk.
  if (when == flush::now) {
    ::fsync(destination.folder.get());
  }
}
