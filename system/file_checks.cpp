// File checks: the trusted-path rule, the tool's own files, locks and the image size.
#include "system/file_checks.h"

#include "system/flash_files.h"

#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr uid_t OVERFLOW_ID = 65534;
constexpr int MAX_LINKS = 40;

// The words for each file_fault, in its order: for the tool's own working files, and for an
// output file in a sticky world-writable folder.
struct fault_words {
  const char* own;
  const char* shared;
};
constexpr fault_words FAULT_WORDS[] = {
    {nullptr, nullptr},
    {"it is a symbolic link", "a symbolic link in a sticky world-writable folder"},
    {"it is not a regular file", "not a regular file, in a sticky world-writable folder"},
    {"it belongs to another user", "a file of another user, in a sticky world-writable folder"},
    {"it has more than one link",
     "a file with more than one link, in a sticky world-writable folder"},
};

// Whether the process runs in a user namespace that maps no user to the overflow id, so that
// id only stands for users outside it. Linux alone has user namespaces.
bool overflow_id_is_unmapped() {
#ifdef __linux__
  std::FILE* map = std::fopen("/proc/self/uid_map", "re");
  if (map == nullptr) {
    return false;
  }
  unsigned long inside = 0;
  unsigned long outside = 0;
  unsigned long count = 0;
  bool mapped = false;
  while (std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3) {
    mapped = mapped || (OVERFLOW_ID >= inside && OVERFLOW_ID - inside < count);
  }
  std::fclose(map);
  return !mapped;
#else
  return false;
#endif
}

std::string uid_words(uid_t owner) {
  return " is owned by uid " + std::to_string(static_cast<unsigned long>(owner));
}

path_verdict refused(std::string reason) {
  return {std::move(reason), 0};
}

path_verdict folder_verdict(const std::string& folder, const struct stat& status) {
  if (!S_ISDIR(status.st_mode)) {
    return {"", ENOTDIR};
  }
  if (!is_trusted_owner(status.st_uid)) {
    return refused("folder " + folder + uid_words(status.st_uid));
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
    return refused("folder " + folder + " is writable by group or others");
  }
  return {};
}

path_verdict file_verdict(const std::string& file, const struct stat& status, path_use use) {
  const bool device = use == path_use::output && S_ISCHR(status.st_mode) && status.st_uid == 0;
  if (!S_ISREG(status.st_mode) && !device) {
    return refused("file " + file + " is not a regular file");
  }
  if (!is_trusted_owner(status.st_uid)) {
    return refused("file " + file + uid_words(status.st_uid));
  }
  if (status.st_nlink != 1) {
    return refused("file " + file + " has more than one link");
  }
  return {};
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

file_fault own_file_fault(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) {
    return file_fault::symbolic_link;
  }
  if (!S_ISREG(status.st_mode)) {
    return file_fault::not_regular;
  }
  if (status.st_uid != ::geteuid()) {
    return file_fault::other_owner;
  }
  return status.st_nlink != 1 ? file_fault::several_links : file_fault::none;
}

const char* own_file_words(file_fault fault) {
  return FAULT_WORDS[static_cast<int>(fault)].own;
}

const char* shared_folder_words(file_fault fault) {
  return FAULT_WORDS[static_cast<int>(fault)].shared;
}

bool in_shared_folder(const std::string& path) {
  struct stat status;
  return ::stat(folder_of(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
}

path_verdict check_trusted_path(const std::string& path, path_use use) {
  std::string rest = path;
  if (path.empty() || path[0] != '/') {
    char here[PATH_MAX];
    if (::getcwd(here, sizeof here) == nullptr) {
      return {"", errno};
    }
    rest = std::string(here) + "/" + path;
  }
  std::string folder = "/"; // the folder reached so far, checked, without links
  struct stat status;
  if (::lstat("/", &status) != 0) {
    return {"", errno};
  }
  path_verdict verdict = folder_verdict("/", status);
  int links = 0;
  // The symbolic link at the file's own name, once followed: what a replaced file's name holds.
  std::string leaf_link;
  while (verdict.trusted()) {
    const std::string name = take_name(rest);
    if (name.empty()) {
      break;
    }
    if (name == "." || name == "..") {
      folder = name == "." ? folder : folder_of(folder);
      continue;
    }
    const std::string next = (folder == "/" ? "/" : folder + "/") + name;
    const bool last = rest.find_first_not_of('/') == std::string::npos;
    if (::lstat(next.c_str(), &status) != 0) {
      // A link to nothing is no missing file: the name holds something that is not a file, such
      // as /dev/stdout on a pipe.
      if (last && errno == ENOENT && use == path_use::replaced && !leaf_link.empty()) {
        return refused("symbolic link " + leaf_link + " leads to no file");
      }
      return {"", last && errno == ENOENT ? 0 : errno};
    }
    if (last && use == path_use::output && in_shared_folder(next)) {
      return {}; // open_output_file takes only a file of the running user there
    }
    if (S_ISLNK(status.st_mode)) {
      if (!is_trusted_owner(status.st_uid)) {
        return refused("symbolic link " + next + uid_words(status.st_uid));
      }
      char target[PATH_MAX];
      const ssize_t length = ::readlink(next.c_str(), target, sizeof target);
      if (length <= 0 || ++links > MAX_LINKS || length == sizeof target) {
        return {"", length < 0 ? errno : length == 0 ? ENOENT : ELOOP};
      }
      if (last && leaf_link.empty()) {
        leaf_link = next;
      }
      folder = target[0] == '/' ? "/" : folder;
      rest = std::string(target, static_cast<std::size_t>(length)) + "/" + rest;
      continue;
    }
    if (last) {
      return use == path_use::folder ? folder_verdict(next, status)
                                     : file_verdict(next, status, use);
    }
    verdict = folder_verdict(next, status);
    folder = next;
  }
  return verdict;
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
