// Comparing an image file with an image in memory, byte for byte, at about the cost of reading it.
#pragma once

#include "run/image_template.h"

#include <sys/types.h>

#include <optional>

// How a file differs from an image: whether its record does (and the record it holds), and the
// first offset outside the record where it does.
struct image_difference {
  bool record_differs = false;
  dmi_record found{};
  std::optional<off_t> first_other;
};

// Compares the 16 MiB file open on `fd` with `image`. The file is mapped, so its bytes are
// compared where the system keeps them, without a copy; where it cannot be mapped, it is read in
// large pieces. A file cut short while it is compared (by another program of the same user) is a
// file that cannot be read. Returns 0 with `difference` filled in, or -1 with errno set (EIO for
// a file that ends early).
int compare_image_file(int fd, const image_view& image, image_difference& difference);
