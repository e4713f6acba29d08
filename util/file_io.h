// Whole reads and writes at a place in a file, whatever pieces the system hands them over in; the
// names a folder holds; stdio streams that close themselves.
#pragma once

#include "util/item_list.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// Reads `size` bytes at `offset` of the file open on `fd` into `bytes`. Returns 0, or -1 with
// errno set (EIO for a file that ends before them).
int read_all_at(int fd, void* bytes, std::size_t size, off_t offset);

// Writes `size` bytes from `bytes` at `offset` of the file open on `fd`. Returns 0, or -1 with
// errno set.
int write_all_at(int fd, const void* bytes, std::size_t size, off_t offset);

// The names the folder open on `folder` holds, "." and ".." left out, in the order the system
// lists them. The folder is read through a descriptor of its own, so the caller's keeps its
// place. Empty when the folder cannot be read.
item_list<std::string> names_in_folder(int folder);

// A stdio stream that closes itself.
struct stream_closer {
  void operator()(std::FILE* stream) const {
    std::fclose(stream);
  }
};
using unique_stream = std::unique_ptr<std::FILE, stream_closer>;
