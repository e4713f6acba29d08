// The coreboot region in memory.
#include "flash_target/region.h"

#include "util/file_io.h"

#include <sys/mman.h>
#include <unistd.h>

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
  return read_all_at(fd, region.data(), REGION_SIZE, COREBOOT_REGION_OFFSET);
}
