// Fixed working files: clearing their names, creating them, checking them before the flash write.
#include "system/working_files.h"

#include "system/file_checks.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Removes an earlier run's leftover at `path`. Ends the run when something else is there.
void clear_name(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno != ENOENT) {
      fail(failure_kind::file, path, "Unable to check %s: %s\n", path.c_str(),
           std::strerror(errno));
    }
    return;
  }
  if (const std::string fault = own_file_fault(status); !fault.empty()) {
    fail(failure_kind::file, path, "Refusing to use %s: it %s\n", path.c_str(), fault.c_str());
  }
  // In a sticky folder only its owner can remove this file, so what goes is what was checked.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    fail(failure_kind::file, path, "Unable to remove %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

// Creates `path` as a new empty file of mode 0600 and records its identity. Returns 0, or -1
// with errno set; a name taken since it was cleared gives EEXIST.
int create_file(const std::string& path, file_identity& identity) {
  const unique_fd file(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat status;
  // The umask may have taken bits away; never more than 0600, but exactly that.
  if (!file.valid() || ::fchmod(file.get(), 0600) != 0 || ::fstat(file.get(), &status) != 0) {
    return -1;
  }
  identity = {status.st_dev, status.st_ino};
  return 0;
}

[[noreturn]] void refuse_taken_name(const std::string& path) {
  fail(failure_kind::file, path, "Refusing to use %s: another file took its place\n", path.c_str());
}

void create_or_fail(const std::string& path, file_identity& identity) {
  if (create_file(path, identity) != 0) {
    if (errno == EEXIST) {
      refuse_taken_name(path);
    }
    fail(failure_kind::file, path, "Unable to create %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

bool is_made_file(const std::string& path, const file_identity& identity) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0 && own_file_fault(status).empty() &&
         status.st_dev == identity.device && status.st_ino == identity.inode;
}

} // namespace

void refuse_layout_file(const std::string& path) {
  throw run_failure(EXIT_TOOL_ERROR, failure_kind::file,
                    "Failed to create BIOS layout file, exiting ...\n", path)
      .shown_on_standard_output();
}

void make_fixed_working_files(working_files& files) {
  // Every name is checked before anything is created, so a refusal leaves nothing new behind.
  clear_name(files.layout);
  clear_name(files.image);
  clear_name(files.record);
  if (create_file(files.layout, files.layout_identity) != 0) {
    if (errno == EEXIST) {
      refuse_taken_name(files.layout);
    }
    refuse_layout_file(files.layout);
  }
  create_or_fail(files.image, files.image_identity);
  file_identity record_identity;
  create_or_fail(files.record, record_identity);
}

void check_working_files(const working_files& files) {
  for (const auto& [path, identity] :
       {std::pair{&files.image, files.image_identity}, {&files.layout, files.layout_identity}}) {
    if (!is_made_file(*path, identity)) {
      fail(failure_kind::file, *path,
           "Refusing to write the flash: %s is no longer the file this run made\n", path->c_str());
    }
  }
}
