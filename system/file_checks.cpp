// File checks: the trusted-path rule, the tool's own files, locks and the image size.
#include "system/file_checks.h"

#include "system/flash_files.h"
#include "util/file_io.h"

#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

constexpr uid_t OVERFLOW_ID = 65534;
constexpr int MAX_LINKS = 40;

// Whether the process runs in a user namespace that maps no user to the overflow id, so that
// id only stands for users outside it. Linux alone has user namespaces.
bool overflow_id_is_unmapped() {
#ifdef __linux__
  const unique_stream map(std::fopen("/proc/self/uid_map", "re"));
  if (map == nullptr) {
    return false;
  }
  unsigned long inside = 0;
  unsigned long outside = 0;
  unsigned long count = 0;
  bool mapped = false;
  while (std::fscanf(map.get(), "%lu %lu %lu", &inside, &outside, &count) == 3) {
    mapped = mapped || (OVERFLOW_ID >= inside && OVERFLOW_ID - inside < count);
  }
  return !mapped;
#else
  return false;
#endif
}

path_verdict refused(std::string reason) {
  return {std::move(reason), 0};
}

path_verdict owned_by_the_rule(const std::string& what, const struct stat& status) {
  const ownership_fault fault = ownership_fault_of(status);
  return fault == ownership_fault::none ? path_verdict{}
                                        : refused(what + " " + ownership_words(fault, status));
}

path_verdict folder_verdict(const std::string& folder, const struct stat& status) {
  if (!S_ISDIR(status.st_mode)) {
    return {"", ENOTDIR};
  }
  return owned_by_the_rule("folder " + folder, status);
}

path_verdict file_verdict(const std::string& file, const struct stat& status, path_use use) {
  const bool device = use == path_use::output && S_ISCHR(status.st_mode) && status.st_uid == 0;
  if (!S_ISREG(status.st_mode) && !device) {
    return refused("file " + file + " is not a regular file");
  }
  return owned_by_the_rule("file " + file, status);
}

// Takes the first name off `rest`, a path still to walk: "" when none is left.
std::string take_name(std::string& rest) {
  const std::size_t start = rest.find_first_not_of('/');
  if (start == std::string::npos) {
    rest.clear();
    return "";
  }
  const std::size_t end = rest.find('/', start);
  const std::string name = rest.substr(start, end - start);
  rest = end == std::string::npos ? "" : rest.substr(end);
  return name;
}

// The walk of check_trusted_path: from / down, one name at a time, each folder checked before
// the next name is looked up in it, symbolic links followed by putting their target in front of
// what is left.
class path_walk {
public:
  path_walk(std::string rest, path_use use) : rest_(std::move(rest)), use_(use) {}

  path_verdict walk() {
    struct stat status;
    if (::lstat("/", &status) != 0) {
      return {"", errno};
    }
    path_verdict verdict = folder_verdict("/", status);
    std::string name;
    while (verdict.trusted() && !(name = take_name(rest_)).empty()) {
      if (name == "." || name == "..") {
        folder_ = name == "." ? folder_ : folder_of(folder_);
        continue;
      }
      if (const std::optional<path_verdict> ended = step(name)) {
        return *ended;
      }
    }
    return verdict;
  }

private:
  // Looks at `name` in the folder reached: returns the verdict when the walk ends there.
  std::optional<path_verdict> step(const std::string& name) {
    const std::string next = (folder_ == "/" ? "/" : folder_ + "/") + name;
    const bool last = rest_.find_first_not_of('/') == std::string::npos;
    struct stat status;
    if (::lstat(next.c_str(), &status) != 0) {
      // A link to nothing is no missing file: the name holds something that is not a file, such
      // as /dev/stdout on a pipe.
      if (last && errno == ENOENT && use_ == path_use::replaced && !leaf_link_.empty()) {
        return refused("symbolic link " + leaf_link_ + " leads to no file");
      }
      return path_verdict{"", last && errno == ENOENT ? 0 : errno};
    }
    if (last && use_ == path_use::output && in_shared_folder(next)) {
      return path_verdict{}; // open_output_file takes only a file of the running user there
    }
    if (S_ISLNK(status.st_mode)) {
      return follow(next, status, last);
    }
    if (last) {
      return use_ == path_use::folder ? folder_verdict(next, status)
                                      : file_verdict(next, status, use_);
    }
    const path_verdict verdict = folder_verdict(next, status);
    folder_ = next;
    return verdict.trusted() ? std::nullopt : std::optional<path_verdict>(verdict);
  }

  // Puts the target of the link at `link` in front of what is left to walk.
  std::optional<path_verdict> follow(const std::string& link, const struct stat& status,
                                     bool last) {
    if (!is_trusted_owner(status.st_uid)) {
      return refused("symbolic link " + link + " " +
                     ownership_words(ownership_fault::other_owner, status));
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || ++links_ > MAX_LINKS || length == sizeof target) {
      return path_verdict{"", length < 0 ? errno : length == 0 ? ENOENT : ELOOP};
    }
    if (last && leaf_link_.empty()) {
      leaf_link_ = link;
    }
    folder_ = target[0] == '/' ? "/" : folder_;
    rest_ = std::string(target, static_cast<std::size_t>(length)) + "/" + rest_;
    return std::nullopt;
  }

  std::string rest_;
  path_use use_;
  std::string folder_ = "/"; // the folder reached so far, checked, without links
  int links_ = 0;
  // The symbolic link at the file's own name, once followed: what a replaced file's name holds.
  std::string leaf_link_;
};

} // namespace

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_trusted_owner(uid_t owner) {
  static const bool overflow_trusted = overflow_id_is_unmapped();
  return owner == 0 || owner == ::geteuid() || (owner == OVERFLOW_ID && overflow_trusted);
}

ownership_fault ownership_fault_of(const struct stat& status) {
  if (!is_trusted_owner(status.st_uid)) {
    return ownership_fault::other_owner;
  }
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
    return ownership_fault::none;
  }
  const bool sticky_folder = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky_folder) {
    return ownership_fault::writable_by_others;
  }
  if (!S_ISDIR(status.st_mode) && status.st_nlink != 1) {
    return ownership_fault::several_links;
  }
  return ownership_fault::none;
}

std::string ownership_words(ownership_fault fault, const struct stat& status) {
  switch (fault) {
  case ownership_fault::none:
    break;
  case ownership_fault::other_owner:
    return "is owned by uid " + std::to_string(static_cast<unsigned long>(status.st_uid));
  case ownership_fault::writable_by_others:
    return "is writable by group or others";
  case ownership_fault::several_links:
    return "has more than one link";
  }
  return "";
}

std::string own_file_fault(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) {
    return "is a symbolic link";
  }
  if (!S_ISREG(status.st_mode)) {
    return "is not a regular file";
  }
  return ownership_words(ownership_fault_of(status), status);
}

bool in_shared_folder(const std::string& path) {
  struct stat status;
  return ::stat(folder_of(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
}

path_verdict check_trusted_path(const std::string& path, path_use use) {
  if (!path.empty() && path[0] == '/') {
    return path_walk(path, use).walk();
  }
  char here[PATH_MAX];
  if (::getcwd(here, sizeof here) == nullptr) {
    return {"", errno};
  }
  return path_walk(std::string(here) + "/" + path, use).walk();
}

std::string input_fault(const std::string& path, const struct stat& status) {
  if (S_ISREG(status.st_mode)) {
    const path_verdict verdict = check_trusted_path(path, path_use::input);
    return verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal;
  }
  const ownership_fault fault = ownership_fault_of(status);
  return fault == ownership_fault::none ? "" : "it " + ownership_words(fault, status);
}

lock_result lock_exclusively(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return lock_result::taken;
  }
  return errno == EWOULDBLOCK ? lock_result::held : lock_result::failed;
}

image_fault image_file_fault(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) {
    return image_fault::not_regular;
  }
  return status.st_size == FLASH_IMAGE_SIZE ? image_fault::none : image_fault::wrong_size;
}
