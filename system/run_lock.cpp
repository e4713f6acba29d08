// The run lock.
#include "system/run_lock.h"

#include "system/file_checks.h"
#include "util/failure.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// The process id the holder wrote into the lock file, or 0 when it cannot be known (not written
// yet, or the file holds something else).
long holder_of(int fd) {
  char text[24] = {};
  if (::pread(fd, text, sizeof text - 1, 0) <= 0) {
    return 0;
  }
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return pid > 0 && *end == '\n' ? pid : 0;
}

// Whether the process `pid` has ended. A process that exists but belongs to another user
// (EPERM) has not; a number no process id can be says nothing.
bool has_ended(long pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

[[noreturn]] void refuse_second_run(const char* path, int fd) {
  const long holder = holder_of(fd);
  // A run killed during its work leaves the lock with the outside programs it started (they
  // inherit it): the process named in the file is gone, but the lock is held until they end.
  if (holder > 0 && has_ended(holder)) {
    fail(failure_kind::lock, path,
         "Another run of vek_smbios_util holds %s: its process %ld has ended, but a program it "
         "started (flashrom, cbfstool or cp) is still running; wait for it to end\n",
         path, holder);
  }
  if (holder > 0) {
    fail(failure_kind::lock, path, "Another run of vek_smbios_util holds %s (process %ld)\n", path,
         holder);
  }
  fail(failure_kind::lock, path, "Another run of vek_smbios_util holds %s\n", path);
}

// The process id only helps the operator; the lock works without it, so a failed write is let be.
void write_holder(int fd) {
  char text[24];
  const int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, text, length, 0);
  }
}

} // namespace

unique_fd take_run_lock(const char* path) {
  // Not closed on exec: flashrom, cbfstool and cp keep the lock held while they run, so a run
  // killed during the flash write keeps others off the chip until its flashrom has finished.
  unique_fd lock(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY, 0644));
  if (!lock.valid()) {
    fail(failure_kind::lock, path, "Unable to open the lock file %s: %s\n", path,
         std::strerror(errno));
  }
  struct stat status;
  if (::fstat(lock.get(), &status) != 0) {
    fail(failure_kind::lock, path, "Unable to use the lock file %s: %s\n", path,
         std::strerror(errno));
  }
  // Only root can have made it, or made it so: another user could otherwise hold off every run.
  if (const std::string fault = own_file_fault(status); !fault.empty()) {
    fail(failure_kind::lock, path, "Unable to use the lock file %s: it %s\n", path, fault.c_str());
  }
  switch (lock_exclusively(lock.get())) {
  case lock_result::taken:
    break;
  case lock_result::held:
    refuse_second_run(path, lock.get());
  case lock_result::failed:
    fail(failure_kind::lock, path, "Unable to lock %s: %s\n", path, std::strerror(errno));
  }
  write_holder(lock.get());
  return lock;
}
