// Whole-record writes to files.
#include "cbfs/record_file.h"

#include "system/output_file.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

void write_record_file(const char* path, link_policy links, const dmi_record& record) {
  const int no_follow = links == link_policy::refuse ? O_NOFOLLOW : 0;
  const opened_output opened = open_output_file(path, no_follow);
  const unique_fd& file = opened.file;
  if (!file.valid()) {
    fail(failure_kind::file, path, "Unable to open %s for writing: %s\n", path, opened.why.c_str());
  }
  const ssize_t written = ::write(file.get(), record.bytes, sizeof record.bytes);
  if (written < 0) {
    fail(failure_kind::file, path, "Unable to write %s: %s\n", path, std::strerror(errno));
  }
  if (written != static_cast<ssize_t>(sizeof record.bytes)) {
    fail(failure_kind::file, path, "Unable to write %s: only %zd of %zu bytes written\n", path,
         written, sizeof record.bytes);
  }
}
