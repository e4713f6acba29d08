// The coreboot region in memory.
#include "flash_target/region.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace {

// Large pages are 2 MiB on x86-64: the buffer starts at such a boundary so that both of its
// halves can be one.
constexpr std::size_t LARGE_PAGE = 2 << 20;

} // namespace

region_buffer::region_buffer() {
  void* mapped = ::mmap(nullptr, REGION_SIZE + LARGE_PAGE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    throw std::bad_alloc();
  }
  auto* start = static_cast<std::uint8_t*>(mapped);
  const std::size_t lead =
      (LARGE_PAGE - reinterpret_cast<std::uintptr_t>(start) % LARGE_PAGE) % LARGE_PAGE;
  if (lead > 0) {
    ::munmap(start, lead);
  }
  ::munmap(start + lead + REGION_SIZE, LARGE_PAGE - lead);
#if defined(MADV_HUGEPAGE)
  // A hint: where the system declines it, the buffer works the same with small pages.
  ::madvise(start + lead, REGION_SIZE, MADV_HUGEPAGE);
#endif
  bytes_.reset(start + lead);
}

void region_buffer::release::operator()(std::uint8_t* bytes) const {
  ::munmap(bytes, REGION_SIZE);
}

int read_region(int fd, region_buffer& region) {
  std::size_t done = 0;
  while (done < REGION_SIZE) {
    const ssize_t got =
        ::pread(fd, region.data() + done, REGION_SIZE - done, COREBOOT_REGION_OFFSET + done);
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
