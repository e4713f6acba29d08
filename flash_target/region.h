// The coreboot region of a flash image in memory: the one buffer a run reads it into.
#pragma once

#include "system/flash_geometry.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// REGION_SIZE bytes, left as the system hands them over: never zero-filled by the tool, since
// every use reads the whole region into it first. Where the system offers them, large pages back
// it, so filling it costs a few page faults instead of a thousand.
class region_buffer {
public:
  region_buffer();

  std::uint8_t* data() {
    return bytes_.get();
  }
  const std::uint8_t* data() const {
    return bytes_.get();
  }

private:
  struct release {
    void operator()(std::uint8_t* bytes) const;
  };
  std::unique_ptr<std::uint8_t, release> bytes_;
};

// Reads the coreboot region of the image open on `fd` into `region`. Returns 0, or -1 with errno
// set (EIO for an image that ends inside the region).
int read_region(int fd, region_buffer& region);
