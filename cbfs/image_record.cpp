// Image record access: only ever 256-byte positioned reads and writes, never the whole image.
#include "cbfs/image_record.h"

#include "system/file_checks.h"
#include "util/fail.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t REGION_SIZE = DMI_RECORD_SIZE;

void copy_record_region(const char* source_path, const char* image_path) {
  const unique_fd source(::open(source_path, O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    fail("Unable to read %s: %s\n", source_path, std::strerror(errno));
  }
  const unique_fd image(::open(image_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!image.valid()) {
    fail("Unable to read %s: %s\n", image_path, std::strerror(errno));
  }
  std::printf("Writing coreboot SMBIOS region 0x%zx bytes @ 0x%jx...\n", REGION_SIZE,
              static_cast<std::intmax_t>(DMI_RECORD_OFFSET));

  unsigned char region[REGION_SIZE];
  const ssize_t got = ::pread(source.get(), region, REGION_SIZE, DMI_RECORD_OFFSET);
  if (got < 1) {
    fail("Error reading");
  }
  // Never write bytes that were not read.
  if (got != static_cast<ssize_t>(REGION_SIZE)) {
    fail("Short read of %s: %zd of %zu bytes\n", source_path, got, REGION_SIZE);
  }
  const ssize_t put = ::pwrite(image.get(), region, REGION_SIZE, DMI_RECORD_OFFSET);
  if (put == -1) {
    fail("Error writing");
  }
  if (put != static_cast<ssize_t>(REGION_SIZE)) {
    fail("Short write of %s: %zd of %zu bytes\n", image_path, put, REGION_SIZE);
  }
}

} // namespace

void read_dmi_record(const std::string& image_path, dmi_record& record) {
  const unique_fd image(::open(image_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid()) {
    fail("Failed open flash file %s: %s\n", image_path.c_str(), std::strerror(errno));
  }
  struct stat status;
  if (::fstat(image.get(), &status) != 0 || image_file_fault(status) != image_fault::none) {
    fail("Incorrect flash image file size.\n");
  }
  read_dmi_record(image.get(), image_path, record);
}

void read_dmi_record(int image_fd, const std::string& image_path, dmi_record& record) {
  const ssize_t got = ::pread(image_fd, record.bytes, sizeof record.bytes, DMI_RECORD_OFFSET);
  if (got != static_cast<ssize_t>(sizeof record.bytes)) {
    fail("Unable to read the DMI record from %s: %s\n", image_path.c_str(),
         got < 0 ? std::strerror(errno) : "short read");
  }
}

void patch_record_region(const std::string& source_path, const std::string& image_path) {
  copy_record_region(source_path.c_str(), image_path.c_str());
}
