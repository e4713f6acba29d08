// The images of a batch: learnt from cbfstool, then made, written and hashed.
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

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t IMAGE_SIZE = static_cast<std::size_t>(FLASH_IMAGE_SIZE);
constexpr std::size_t RECORD_BEGIN = static_cast<std::size_t>(DMI_RECORD_OFFSET);
constexpr std::size_t RECORD_END = RECORD_BEGIN + DMI_RECORD_SIZE;
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

const sha256& image_template::first_before_record() {
  if (!before_record_) {
    before_record_.emplace();
    before_record_->update(first_.get(), RECORD_BEGIN);
  }
  return *before_record_;
}

sha256_digest image_template::digest_of(const image_view& image) {
  sha256 digest;
  if (image.bytes == first_.get()) {
    digest = first_before_record();
  } else {
    digest.update(image.bytes, RECORD_BEGIN);
  }
  digest.update(image.record.bytes, DMI_RECORD_SIZE);
  digest.update(image.bytes + RECORD_END, IMAGE_SIZE - RECORD_END);
  return digest.finish();
}

sha256_digest image_template::master_digest() {
  const std::unique_ptr<char[]> master(new char[IMAGE_SIZE]);
  if (read_all_at(master_, master.get(), IMAGE_SIZE, 0) != 0) {
    fail(failure_kind::file, master_path_, "Unable to read %s: %s\n", master_path_.c_str(),
         std::strerror(errno));
  }
  sha256 digest;
  if (first_ && std::memcmp(first_.get(), master.get(), RECORD_BEGIN) == 0) {
    digest = first_before_record();
  } else {
    digest.update(master.get(), RECORD_BEGIN);
  }
  digest.update(master.get() + RECORD_BEGIN, IMAGE_SIZE - RECORD_BEGIN);
  return digest.finish();
}

void write_image_file(const std::string& path, const image_view& image,
                      const std::string& output_path) {
  const unique_fd file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid() || write_all_at(file.get(), image.bytes, RECORD_BEGIN, 0) != 0 ||
      write_all_at(file.get(), image.record.bytes, DMI_RECORD_SIZE, DMI_RECORD_OFFSET) != 0 ||
      write_all_at(file.get(), image.bytes + RECORD_END, IMAGE_SIZE - RECORD_END,
                   static_cast<off_t>(RECORD_END)) != 0) {
    const int error = errno;
    fail_writing(error, output_path,
                 format_text("Unable to make %s: %s\n", output_path.c_str(), std::strerror(error)));
  }
}

void image_writer::write(const image_destination& destination, const std::string& path,
                         const image_view& image) {
  if (!images_.record_alone()) {
    write_image_file(path, image, destination.path);
    return;
  }
  if (!source_.valid()) {
    const std::string& stamped = images_.stamped_file();
    source_.reset(::open(stamped.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!source_.valid()) {
      fail(failure_kind::file, stamped, "Unable to read %s: %s\n", stamped.c_str(),
           std::strerror(errno));
    }
  }
  copy_image_for(source_.get(), path, destination.path);
  const unique_fd file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.valid() ||
      write_all_at(file.get(), image.record.bytes, DMI_RECORD_SIZE, DMI_RECORD_OFFSET) != 0) {
    const int error = errno;
    fail_writing(
        error, destination.path,
        format_text("Unable to make %s: %s\n", destination.path.c_str(), std::strerror(error)));
  }
}
