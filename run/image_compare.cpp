// Comparing an image file with an image in memory.
#include "run/image_compare.h"

#include "system/flash_geometry.h"
#include "util/file_io.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t IMAGE_SIZE = static_cast<std::size_t>(FLASH_IMAGE_SIZE);
constexpr std::size_t RECORD_BEGIN = static_cast<std::size_t>(DMI_RECORD_OFFSET);
constexpr std::size_t RECORD_END = RECORD_BEGIN + DMI_RECORD_SIZE;
// A file that cannot be mapped is read a piece at a time, each still in the processor's cache
// when it is compared.
constexpr std::size_t COMPARED_PIECE = 256 << 10;
static_assert(IMAGE_SIZE % COMPARED_PIECE == 0);

// Notes where the file's bytes from `from` to `to`, all outside the record and held in `bytes`
// (which starts at `at`), first differ from the image's, unless an earlier place was noted.
void note_outside(const char* bytes, std::size_t at, std::size_t from, std::size_t to,
                  const image_view& image, image_difference& difference) {
  if (from >= to || difference.first_other) {
    return;
  }
  const char* file = bytes + (from - at);
  const char* wanted = image.bytes + from;
  if (std::memcmp(file, wanted, to - from) != 0) {
    const auto differs = std::mismatch(file, file + (to - from), wanted);
    difference.first_other = static_cast<off_t>(from + (differs.first - file));
  }
}

// Compares `size` bytes of the file, starting at `at`: the bytes outside the record with the
// image's, and the record's bytes kept for the comparison of the whole record.
void note_bytes(const char* bytes, std::size_t at, std::size_t size, const image_view& image,
                image_difference& difference) {
  const std::size_t end = at + size;
  note_outside(bytes, at, at, std::min(end, RECORD_BEGIN), image, difference);
  note_outside(bytes, at, std::max(at, RECORD_END), end, image, difference);
  const std::size_t from = std::max(at, RECORD_BEGIN);
  const std::size_t to = std::min(end, RECORD_END);
  if (from < to) {
    std::memcpy(difference.found.bytes + (from - RECORD_BEGIN), bytes + (from - at), to - from);
  }
}

int compare_in_pieces(int fd, const image_view& image, image_difference& difference) {
  const std::unique_ptr<char[]> piece(new char[COMPARED_PIECE]);
  for (std::size_t at = 0; at < IMAGE_SIZE; at += COMPARED_PIECE) {
    if (read_all_at(fd, piece.get(), COMPARED_PIECE, static_cast<off_t>(at)) != 0) {
      return -1;
    }
    note_bytes(piece.get(), at, COMPARED_PIECE, image, difference);
  }
  return 0;
}

// The mapping being compared, for the handler of SIGBUS: a read past the end of a mapped file
// that was cut short raises it.
const char* mapped_begin = nullptr;
std::size_t page_size = 0;
volatile sig_atomic_t mapped_cut_short = 0;

// Gives the page the read fell on zeros, so the comparison goes on, and notes that the file was
// cut short; a SIGBUS from anywhere else gets its default action again, which it then takes.
extern "C" void on_bus_error(int, siginfo_t* info, void*) {
  const char* address = static_cast<const char*>(info->si_addr);
  if (mapped_begin != nullptr && address >= mapped_begin && address < mapped_begin + IMAGE_SIZE) {
    const std::size_t page = static_cast<std::size_t>(address - mapped_begin) / page_size;
    void* at = const_cast<char*>(mapped_begin + page * page_size);
    if (::mmap(at, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      mapped_cut_short = 1;
      return;
    }
  }
  ::signal(SIGBUS, SIG_DFL);
}

// Compares the file mapped at `bytes`, SIGBUS caught for the while.
int compare_mapped(const char* bytes, const image_view& image, image_difference& difference) {
  struct sigaction caught {};
  struct sigaction before {};
  caught.sa_sigaction = on_bus_error;
  caught.sa_flags = SA_SIGINFO;
  sigemptyset(&caught.sa_mask);
  page_size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  mapped_begin = bytes;
  mapped_cut_short = 0;
  ::sigaction(SIGBUS, &caught, &before);
  note_bytes(bytes, 0, IMAGE_SIZE, image, difference);
  ::sigaction(SIGBUS, &before, nullptr);
  mapped_begin = nullptr;
  if (mapped_cut_short != 0) {
    errno = EIO;
    return -1;
  }
  return 0;
}

} // namespace

int compare_image_file(int fd, const image_view& image, image_difference& difference) {
  difference = image_difference();
  void* mapped = ::mmap(nullptr, IMAGE_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  const int result = mapped == MAP_FAILED
                         ? compare_in_pieces(fd, image, difference)
                         : compare_mapped(static_cast<const char*>(mapped), image, difference);
  if (mapped != MAP_FAILED) {
    ::munmap(mapped, IMAGE_SIZE);
  }
  difference.record_differs =
      std::memcmp(difference.found.bytes, image.record.bytes, DMI_RECORD_SIZE) != 0;
  // Cut short inside its last page, a mapped file reads as zeros there without a signal.
  struct stat status;
  if (result == 0 && (::fstat(fd, &status) != 0 || status.st_size != FLASH_IMAGE_SIZE)) {
    errno = EIO;
    return -1;
  }
  return result;
}
