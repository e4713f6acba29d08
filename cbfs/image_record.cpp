// Image record access: only ever 256-byte positioned reads and writes, never the whole image.
#include "cbfs/image_record.h"

#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t RECORD_REGION_SIZE = DMI_RECORD_SIZE;

} // namespace

dmi_record read_dmi_record(const std::string& image_path) {
  const unique_fd image(::open(image_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid()) {
    fail(failure_kind::file, image_path, "Failed open flash file %s: %s\n", image_path.c_str(),
         std::strerror(errno));
  }
  struct stat status;
  if (::fstat(image.get(), &status) != 0 || image_file_fault(status) != image_fault::none) {
    fail(failure_kind::image, image_path, "Incorrect flash image file size.\n");
  }
  return read_dmi_record(image.get(), image_path);
}

dmi_record read_dmi_record(int image_fd, const std::string& image_path) {
  dmi_record record;
  const ssize_t got = ::pread(image_fd, record.bytes, sizeof record.bytes, DMI_RECORD_OFFSET);
  if (got != static_cast<ssize_t>(sizeof record.bytes)) {
    fail(failure_kind::file, image_path, "Unable to read the DMI record from %s: %s\n",
         image_path.c_str(), got < 0 ? std::strerror(errno) : "short read");
  }
  return record;
}

void patch_record_region(run_output& out, const std::string& source_path,
                         const std::string& image_path) {
  const char* source_name = source_path.c_str();
  const char* image_name = image_path.c_str();
  const unique_fd source(::open(source_name, O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    fail(failure_kind::file, source_path, "Unable to read %s: %s\n", source_name,
         std::strerror(errno));
  }
  const unique_fd image(::open(image_name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!image.valid()) {
    fail(failure_kind::file, image_path, "Unable to read %s: %s\n", image_name,
         std::strerror(errno));
  }
  out.progress(format_text("Writing coreboot SMBIOS region 0x%zx bytes @ 0x%jx...\n",
                           RECORD_REGION_SIZE, static_cast<std::intmax_t>(DMI_RECORD_OFFSET)));

  unsigned char region[RECORD_REGION_SIZE];
  const ssize_t got = ::pread(source.get(), region, sizeof region, DMI_RECORD_OFFSET);
  if (got < 1) {
    fail(failure_kind::file, source_path, "Error reading %s: %s\n", source_name,
         got == 0 ? "the file ends before the record" : std::strerror(errno));
  }
  // Never write bytes that were not read.
  if (got != static_cast<ssize_t>(sizeof region)) {
    fail(failure_kind::file, source_path, "Short read of %s: %zd of %zu bytes\n", source_name, got,
         sizeof region);
  }
  const ssize_t put = ::pwrite(image.get(), region, sizeof region, DMI_RECORD_OFFSET);
  if (put == -1) {
    fail(failure_kind::file, image_path, "Error writing %s: %s\n", image_name,
         std::strerror(errno));
  }
  if (put != static_cast<ssize_t>(sizeof region)) {
    fail(failure_kind::file, image_path, "Short write of %s: %zd of %zu bytes\n", image_name, put,
         sizeof region);
  }
}
