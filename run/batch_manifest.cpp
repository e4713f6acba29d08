// The manifest of a batch's output folder.
#include "run/batch_manifest.h"

#include "flash_target/image_destination.h"
#include "record/record_json.h"
#include "run/image_template.h"
#include "run/json_output.h"
#include "system/file_checks.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

// A manifest is read whole; one of this size lists far more images than fit on a disk.
constexpr off_t MAX_MANIFEST_SIZE = 256 << 20;

// The time now, in UTC, as ISO 8601 writes it: "2026-12-09T14:03:27Z".
std::string time_now_text() {
  const std::time_t now = std::time(nullptr);
  struct tm parts {};
  char text[32] = "";
  if (::gmtime_r(&now, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  }
  return text;
}

// The member `name` of a line the manifest wrote, when it is a string: its JSON text, quotes and
// escapes kept; else empty. A member's name in quotes and a colon cannot be part of a string, in
// which every quote is escaped.
std::string_view string_member(std::string_view line, std::string_view name) {
  std::string key(1, '"');
  key.append(name).append("\":\"");
  const std::size_t found = line.find(key);
  if (found == std::string_view::npos) {
    return {};
  }
  const std::size_t start = found + key.size() - 1;
  for (std::size_t at = start + 1; at < line.size(); ++at) {
    if (line[at] == '\\') {
      ++at;
    } else if (line[at] == '"') {
      return line.substr(start, at + 1 - start);
    }
  }
  return {};
}

// The digest written as `text` (64 hexadecimal digits in quotes), or none.
std::optional<sha256_digest> digest_from_text(std::string_view text) {
  if (text.size() != 2 * SHA256_SIZE + 2) {
    return std::nullopt;
  }
  sha256_digest digest;
  for (std::size_t i = 0; i < 2 * SHA256_SIZE; ++i) {
    const char c = text[i + 1];
    const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (value < 0) {
      return std::nullopt;
    }
    digest.bytes[i / 2] = static_cast<std::uint8_t>(digest.bytes[i / 2] << 4 | value);
  }
  return digest;
}

// The batch's own line: the tool, the time, the master and the table.
std::string sources_line(const batch_sources& sources) {
  json_object line;
  line.raw("format", "1");
  line.words("tool_version", tool_version());
  line.words("time", time_now_text());
  line.words("master", sources.master_path);
  line.words("master_sha256", sha256_text(sources.images->master_digest()));
  line.words("table", sources.table_path);
  line.words("table_sha256", sha256_text(sources.table_sha256));
  return line.finish() + "\n";
}

} // namespace

std::string sha256_text(const sha256_digest& digest) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest.bytes) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 0xF];
  }
  return text;
}

batch_manifest batch_manifest::open_to_append(int folder, const std::string& folder_path,
                                              run_output& out) {
  const std::string path = output_path(folder_path, MANIFEST_NAME);
  unique_fd file(
      ::openat(folder, MANIFEST_NAME,
               O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
  // A symbolic link fails to open as one (Linux says ELOOP, FreeBSD EMLINK).
  const bool link = !file.valid() && (errno == ELOOP || errno == EMLINK);
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    fail(failure_kind::file, path, "Unable to open manifest %s: %s\n", path.c_str(),
         link ? "it is a symbolic link" : std::strerror(errno));
  }
  if (const std::string fault = own_file_fault(status); !fault.empty()) {
    fail(failure_kind::file, path, "Unable to use manifest %s: it %s\n", path.c_str(),
         fault.c_str());
  }
  // Two batches appending to one manifest at once would list each other's images.
  if (lock_exclusively(file.get()) != lock_result::taken) {
    fail(failure_kind::lock, path, "Manifest %s is in use by another batch\n", path.c_str());
  }
  // A manifest made now keeps its name once the folder is on disk.
  ::fsync(folder);
  batch_manifest manifest(std::move(file), path, folder);
  manifest.read_lines(&out);
  return manifest;
}

batch_manifest batch_manifest::read_listed(int folder, const std::string& folder_path) {
  const std::string path = output_path(folder_path, MANIFEST_NAME);
  unique_fd file(
      ::openat(folder, MANIFEST_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!file.valid() && errno == ENOENT) {
    return batch_manifest(unique_fd(), path, folder);
  }
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    fail(failure_kind::file, path, "Unable to read manifest %s: %s\n", path.c_str(),
         file.valid() ? "it is not a regular file" : std::strerror(errno));
  }
  batch_manifest manifest(std::move(file), path, folder);
  manifest.read_lines(nullptr);
  return manifest;
}

void batch_manifest::read_lines(run_output* out) {
  struct stat status;
  if (::fstat(file_.get(), &status) != 0 || status.st_size > MAX_MANIFEST_SIZE) {
    fail(failure_kind::file, path_, "Manifest %s is not a file of at most %jd bytes\n",
         path_.c_str(), static_cast<std::intmax_t>(MAX_MANIFEST_SIZE));
  }
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  if (read_all_at(file_.get(), text.data(), text.size(), 0) != 0) {
    fail(failure_kind::file, path_, "Unable to read manifest %s: %s\n", path_.c_str(),
         std::strerror(errno));
  }
  const std::size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
  if (out != nullptr && whole < text.size()) {
    if (::ftruncate(file_.get(), static_cast<off_t>(whole)) != 0) {
      fail(failure_kind::file, path_, "Unable to write manifest %s: %s\n", path_.c_str(),
           std::strerror(errno));
    }
    out->notice(format_text("Manifest %s ended in a line cut short; that line is taken off\n",
                            path_.c_str()));
  }
  for (std::size_t start = 0; start < whole;) {
    const std::size_t end = text.find('\n', start);
    const std::string_view line(text.data() + start, end - start);
    const std::string_view output = string_member(line, "output");
    if (const auto digest = digest_from_text(string_member(line, "sha256")); digest) {
      if (!output.empty()) {
        listed_[std::string(output)] = *digest;
      }
    }
    start = end + 1;
  }
}

const sha256_digest* batch_manifest::listed(const std::string& output) const {
  std::string key;
  append_json_string(key, output);
  const auto found = listed_.find(key);
  return found == listed_.end() ? nullptr : &found->second;
}

void batch_manifest::append_image(const batch_sources& sources, const row_plan& row,
                                  const sha256_digest& digest) {
  std::string line = sources_written_ ? "" : sources_line(sources);
  std::string output;
  append_json_string(output, row.output);
  std::string record;
  append_record_json(record, row.stored);
  json_object image;
  image.raw("output", output);
  image.raw("line", std::to_string(row.line));
  image.words("sha256", sha256_text(digest));
  image.raw("record", record);
  image.words("time", time_now_text());
  line += image.finish() + "\n";
  append_line(line);
  sources_written_ = true;
  listed_[output] = digest;
}

void batch_manifest::append_line(const std::string& line) {
  struct stat before;
  if (::fstat(file_.get(), &before) != 0) {
    fail(failure_kind::file, path_, "Unable to write manifest %s: %s\n", path_.c_str(),
         std::strerror(errno));
  }
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t put = ::write(file_.get(), line.data() + done, line.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      errno = put == 0 ? EIO : errno;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  if (done < line.size()) {
    const int error = errno;
    // No part of a line stays: the next run would read it as a line cut short.
    (void)!::ftruncate(file_.get(), before.st_size);
    fail(failure_kind::file, path_, "Unable to write manifest %s: %s\n", path_.c_str(),
         std::strerror(error));
  }
}

void batch_manifest::flush() {
  // A folder that cannot be synced leaves the renames done, only perhaps not yet on disk.
  ::fsync(folder_);
  if (::fsync(file_.get()) != 0) {
    const int error = errno;
    fail_writing(
        error, path_,
        format_text("Unable to write manifest %s: %s\n", path_.c_str(), std::strerror(error)));
  }
}
