// Whole reads and writes at a place in a file.
#include "util/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int read_all_at(int fd, void* bytes, std::size_t size, off_t offset) {
  auto* at = static_cast<char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, at + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      errno = got == 0 ? EIO : errno;
      return -1;
    }
    done += static_cast<std::size_t>(got);
  }
  return 0;
}

int write_all_at(int fd, const void* bytes, std::size_t size, off_t offset) {
  const auto* at = static_cast<const char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::pwrite(fd, at + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      errno = put == 0 ? EIO : errno;
      return -1;
    }
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

item_list<std::string> names_in_folder(int folder) {
  item_list<std::string> names;
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) {
      ::close(fd); // the listing owns it only once it is made
    }
    return names;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(listing);
  return names;
}
