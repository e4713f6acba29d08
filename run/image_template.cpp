// The images of a batch: learnt from cbfstool, then made, written, compared and hashed.
#include "run/image_template.h"

#include "cbfs/cbfs_record.h"
#include "flash_target/image_file.h"
#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t IMAGE_SIZE = static_cast<std::size_t>(FLASH_IMAGE_SIZE);
constexpr std::size_t RECORD_BEGIN = static_cast<std::size_t>(DMI_RECORD_OFFSET);
constexpr std::size_t RECORD_END = RECORD_BEGIN + DMI_RECORD_SIZE;
// Files are compared a piece at a time: large enough that a read costs little beyond its copy,
// small enough that the piece is still in the processor's cache when it is compared.
constexpr std::size_t COMPARED_PIECE = 256 << 10;
static_assert(IMAGE_SIZE % COMPARED_PIECE == 0);
static_assert(RECORD_BEGIN % 64 == 0, "the record starts a SHA-256 block");

// Whether two images are alike but for the record's 256 bytes.
bool alike_but_the_record(const char* one, const char* two) {
  return std::memcmp(one, two, RECORD_BEGIN) == 0 &&
         std::memcmp(one + RECORD_END, two + RECORD_END, IMAGE_SIZE - RECORD_END) == 0;
}

// The whole image file at `path` read into `into`. Ends the run when it cannot be, or is not an
// image's size.
void read_image_file(const std::string& path, char* into) {
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    fail(failure_kind::file, path, "Unable to read %s: %s\n", path.c_str(), std::strerror(errno));
  }
  if (image_file_fault(status) != image_fault::none) {
    fail(failure_kind::image, path, "Image %s is not %jd bytes\n", path.c_str(),
         static_cast<std::intmax_t>(FLASH_IMAGE_SIZE));
  }
  if (read_all_at(file.get(), into, IMAGE_SIZE, 0) != 0) {
    fail(failure_kind::file, path, "Unable to read %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

// Notes where the file's bytes from `from` to `to`, all outside the record and held in `piece`
// (which starts at `at`), first differ from the image's, unless an earlier place was noted.
void note_outside(const char* piece, std::size_t at, std::size_t from, std::size_t to,
                  const image_view& image, image_difference& difference) {
  if (from >= to || difference.first_other) {
    return;
  }
  const char* file = piece + (from - at);
  const char* wanted = image.bytes + from;
  if (std::memcmp(file, wanted, to - from) != 0) {
    const auto differs = std::mismatch(file, file + (to - from), wanted);
    difference.first_other = static_cast<off_t>(from + (differs.first - file));
  }
}

// Compares one piece of the file, starting at `at`: the bytes outside the record with the
// image's, and the record's bytes kept for the comparison of the whole record.
void note_piece(const char* piece, std::size_t at, const image_view& image,
                image_difference& difference) {
  const std::size_t end = at + COMPARED_PIECE;
  note_outside(piece, at, at, std::min(end, RECORD_BEGIN), image, difference);
  note_outside(piece, at, std::max(at, RECORD_END), end, image, difference);
  const std::size_t from = std::max(at, RECORD_BEGIN);
  const std::size_t to = std::min(end, RECORD_END);
  if (from < to) {
    std::memcpy(difference.found.bytes + (from - RECORD_BEGIN), piece + (from - at), to - from);
  }
}

} // namespace

const char* image_template::stamp(const dmi_record& record, std::unique_ptr<char[]>& into) {
  if (!files_) {
    files_.emplace(make_image_working_files(nullptr));
  }
  copy_image_file(master_, master_path_, files_->image);
  update_cbfs_record(runner_, record, *files_);
  if (!into) {
    into.reset(new char[IMAGE_SIZE]);
  }
  read_image_file(files_->image, into.get());
  if (std::memcmp(into.get() + RECORD_BEGIN, record.bytes, DMI_RECORD_SIZE) != 0) {
    fail(failure_kind::image, files_->image, "Image %s does not hold the record meant for it\n",
         files_->image.c_str());
  }
  return into.get();
}

image_view image_template::image_of(const dmi_record& record) {
  if (record_alone_) {
    return {first_.get(), record};
  }
  if (!first_) {
    stamp(record, first_);
    first_record_ = record;
    return {first_.get(), record};
  }
  const char* made = stamp(record, latest_);
  // The same record twice says nothing about what cbfstool changes.
  if (!decided_ && std::memcmp(record.bytes, first_record_.bytes, DMI_RECORD_SIZE) != 0) {
    decided_ = true;
    record_alone_ = alike_but_the_record(first_.get(), made);
  }
  return {made, record};
}

sha256_digest image_template::digest_of(const image_view& image) {
  sha256 digest;
  if (image.bytes == first_.get()) {
    if (!before_record_) {
      before_record_.emplace();
      before_record_->update(image.bytes, RECORD_BEGIN);
    }
    digest = *before_record_;
  } else {
    digest.update(image.bytes, RECORD_BEGIN);
  }
  digest.update(image.record.bytes, DMI_RECORD_SIZE);
  digest.update(image.bytes + RECORD_END, IMAGE_SIZE - RECORD_END);
  return digest.finish();
}

void write_image_file(const std::string& path, const image_view& image) {
  const unique_fd file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid() || write_all_at(file.get(), image.bytes, RECORD_BEGIN, 0) != 0 ||
      write_all_at(file.get(), image.record.bytes, DMI_RECORD_SIZE, DMI_RECORD_OFFSET) != 0 ||
      write_all_at(file.get(), image.bytes + RECORD_END, IMAGE_SIZE - RECORD_END,
                   static_cast<off_t>(RECORD_END)) != 0) {
    fail(failure_kind::file, path, "Unable to write %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

int compare_image_file(int fd, const image_view& image, image_difference& difference) {
  difference = image_difference();
  const std::unique_ptr<char[]> piece(new char[COMPARED_PIECE]);
  for (std::size_t at = 0; at < IMAGE_SIZE; at += COMPARED_PIECE) {
    if (read_all_at(fd, piece.get(), COMPARED_PIECE, static_cast<off_t>(at)) != 0) {
      return -1;
    }
    note_piece(piece.get(), at, image, difference);
  }
  difference.record_differs =
      std::memcmp(difference.found.bytes, image.record.bytes, DMI_RECORD_SIZE) != 0;
  return 0;
}
