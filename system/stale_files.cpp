// Working files of killed runs: finding them and removing them safely.
//
// A run that is killed with SIGKILL leaves its working copy (16 MiB, hidden) beside the image or
// in a batch's output folder, and its private folder in /tmp. A lock (flock) goes with the
// process that held it, so the locks mark what is a live run's:
// (a) a live run holds the lock of each private folder it made, from right after making it until
//     it is removed;
// (b) a live run holds a shared lock on the folder it makes a working copy in, from before making
//     it until it is renamed into place or removed; a sweep of that folder's working copies takes
//     the folder's exclusive lock without waiting, so it runs only while no live run works there.
//     (The working copy cannot be locked itself: cbfstool takes an exclusive lock on the image it
//     edits, waiting for it.)
// Other users may plant anything at one of the tool's names, in a sticky /tmp or beside an image
// in a folder they share, so each candidate is (1) looked at without following a link and taken
// only as a regular file or a 0700 folder of the running user with one link, (2) opened without
// following a link and proven to be the file looked at, (3) locked, and so never a file that any
// process still works on, and (4) removed by name only while the name still leads to that file.
// A folder is emptied first, and only when it holds nothing but the tool's own names.
#include "system/stale_files.h"

#include "system/file_checks.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/item_list.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

namespace {

constexpr std::size_t UNIQUE_PART_LENGTH = 6;
constexpr const char* PRIVATE_FOLDER_PARENT = "/tmp";
// How often, 10 ms apart, a run tries for the shared lock of its working folder while a sweep
// holds it: a sweep takes a few milliseconds.
constexpr int FOLDER_LOCK_ATTEMPTS = 100;

// Whether `name` is `prefix` followed by six letters or digits.
bool is_tool_name(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + UNIQUE_PART_LENGTH || !name.starts_with(prefix)) {
    return false;
  }
  for (const char c : name.substr(prefix.size())) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  return true;
}

std::string_view private_folder_prefix() {
  const std::string_view folder = PRIVATE_FOLDER_TEMPLATE;
  return folder.substr(std::strlen(PRIVATE_FOLDER_PARENT) + 1,
                       folder.size() - std::strlen(PRIVATE_FOLDER_PARENT) - 1 - UNIQUE_PART_LENGTH);
}

// The names in the folder open on `folder` that `wanted` takes.
template <typename wanted_name>
item_list<std::string> names_in(int folder, const wanted_name& wanted) {
  item_list<std::string> names;
  for (std::string& name : names_in_folder(folder)) {
    if (wanted(std::string_view(name))) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

// Whether a private folder, open on `folder`, holds only the tool's own files; if so, removes
// them. Inside a 0700 folder of the running user nobody else can change a name.
bool empty_private_folder(int folder) {
  bool foreign = false;
  const item_list<std::string> names = names_in(folder, [&foreign](std::string_view name) {
    const bool known = name == RECORD_FILE_NAME || name == DRY_RUN_IMAGE_NAME;
    foreign = foreign || !known;
    return known;
  });
  for (const std::string& name : names) {
    struct stat status;
    foreign = foreign || ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
              !own_file_fault(status).empty();
  }
  if (foreign) {
    return false;
  }
  for (const std::string& name : names) {
    if (::unlinkat(folder, name.c_str(), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Whether `status` (of a name, not followed) may be a leftover of this user's runs.
bool may_be_leftover(const struct stat& status, bool is_folder) {
  if (!is_folder) {
    return own_file_fault(status).empty();
  }
  return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && status.st_nlink == 2 &&
         (status.st_mode & 07777) == 0700;
}

// Removes `name` in `folder` when it is a leftover no live run holds; says whether it did.
bool remove_if_stale(int folder, const std::string& name, bool is_folder) {
  struct stat named;
  if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !may_be_leftover(named, is_folder)) {
    return false;
  }
  const unique_fd held(::openat(folder, name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                    (is_folder ? O_DIRECTORY : 0)));
  struct stat opened;
  if (!held.valid() || ::fstat(held.get(), &opened) != 0 || !same_file(named, opened) ||
      !may_be_leftover(opened, is_folder) || lock_exclusively(held.get()) != lock_result::taken) {
    return false;
  }
  if (is_folder && !empty_private_folder(held.get())) {
    return false;
  }
  struct stat now;
  if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, opened)) {
    return false;
  }
  return ::unlinkat(folder, name.c_str(), is_folder ? AT_REMOVEDIR : 0) == 0;
}

// Removes the leftovers named with `prefix` in `folder`, saying each.
void clear_in(int folder, const std::string& folder_path, std::string_view prefix, bool is_folder,
              run_output& out) {
  const auto wanted = [prefix](std::string_view name) { return is_tool_name(name, prefix); };
  for (const std::string& name : names_in(folder, wanted)) {
    if (remove_if_stale(folder, name, is_folder)) {
      out.notice(format_text("Removed %s%s%s, left behind by a run that was killed\n",
                             folder_path.c_str(), folder_path.ends_with("/") ? "" : "/",
                             name.c_str()));
    }
  }
}

} // namespace

bool hold_private_folder(int fd) {
  struct stat status;
  return lock_exclusively(fd) == lock_result::taken && ::fstat(fd, &status) == 0 &&
         status.st_nlink > 0;
}

void hold_working_folder(int folder) {
  for (int attempt = 0; attempt < FOLDER_LOCK_ATTEMPTS; ++attempt) {
    if (::flock(folder, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
      return;
    }
    const struct timespec pause = {0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

void clear_stale_files(int folder, const std::string& folder_path, run_output& out) {
  // Through a descriptor of its own, so the lock goes with it and the caller's is untouched.
  const unique_fd own(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (own.valid() && lock_exclusively(own.get()) == lock_result::taken) {
    clear_in(own.get(), folder_path, WORKING_COPY_PREFIX, false, out);
  }
  const unique_fd tmp(::open(PRIVATE_FOLDER_PARENT, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (tmp.valid()) {
    clear_in(tmp.get(), PRIVATE_FOLDER_PARENT, private_folder_prefix(), true, out);
  }
}
