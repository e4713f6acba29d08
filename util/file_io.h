// Whole reads and writes at a place in a file, whatever pieces the system hands them over in.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Reads `size` bytes at `offset` of the file open on `fd` into `bytes`. Returns 0, or -1 with
// errno set (EIO for a file that ends before them).
int read_all_at(int fd, void* bytes, std::size_t size, off_t offset);

// Writes `size` bytes from `bytes` at `offset` of the file open on `fd`. Returns 0, or -1 with
// errno set.
int write_all_at(int fd, const void* bytes, std::size_t size, off_t offset);
