// Helpers shared by the tests.
#include "tests/test_support.h"

#include "cli/options.h"
#include "run/reporter.h"
#include "system/flash_files.h"
#include "tests/build_paths.h"
#include "tests/image_support.h"
#include "util/failure.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

std::string read_file(const std::string& path) {
  // Whole 16 MiB images are read several times a case: read straight into the string.
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return content;
  }
  struct stat status;
  std::size_t size = 0;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    content.resize(static_cast<std::size_t>(status.st_size) + 1);
  }
  for (;;) {
    if (size == content.size()) {
      content.resize(size + (1 << 16));
    }
    const ssize_t got = ::read(fd, content.data() + size, content.size() - size);
    if (got <= 0) {
      break;
    }
    size += static_cast<std::size_t>(got);
  }
  ::close(fd);
  content.resize(size);
  return content;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

std::optional<int> parse_and_show(command_line& line, run_settings& settings, dmi_record& record) {
  std::optional<run_failure> refused;
  item_list<std::string> warnings;
  try {
    warnings = parse_arguments(line.argc(), line.argv(), settings, record);
  } catch (const run_failure& failure) {
    refused = failure;
  }
  reporter out(output_form::text);
  if (refused) {
    out.show_failure(settings, *refused);
  }
  out.show_text(notice_text(settings));
  for (const std::string& warning : warnings) {
    out.notice(warning);
  }
  out.flush();
  if (refused) {
    return refused->status();
  }
  return settings.shown != run_settings::notice::none ? std::optional<int>(0) : std::nullopt;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream text(read_file(path));
  for (std::string line; std::getline(text, line);) {
    lines.push_back(line);
  }
  return lines;
}

dmi_record make_record(const std::vector<std::pair<field_id, std::string>>& texts) {
  dmi_record record;
  dmi_record_init(record);
  for (const auto& [field, text] : texts) {
    EXPECT_EQ(dmi_record_set_text(record, field, text), 0) << field_name(field);
  }
  return record;
}

std::string record_bytes(const dmi_record& record) {
  return std::string(reinterpret_cast<const char*>(record.bytes), sizeof record.bytes);
}

std::string stored_merge(const dmi_record& base, const dmi_record& override) {
  dmi_record merged;
  EXPECT_EQ(merge_records(merged, base, override), 0);
  dmi_record_set_marker(merged, DMI_MARKER_STORED);
  return record_bytes(merged);
}

child_result run_in_child(const std::function<void()>& body) {
  char out_path[] = "/tmp/child_out_XXXXXX";
  char err_path[] = "/tmp/child_err_XXXXXX";
  const int out_fd = ::mkstemp(out_path);
  const int err_fd = ::mkstemp(err_path);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    // A failure ends the child as main ends the run: its message after what standard output
    // holds, its status, and what is done at the end of every run.
    try {
      body();
    } catch (const run_failure& failure) {
      reporter(output_form::text).show_failure(run_settings{}, failure);
      std::exit(failure.status());
    }
    std::fflush(nullptr);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out_fd);
  ::close(err_fd);
  child_result result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  ::unlink(out_path);
  ::unlink(err_path);
  return result;
}

std::string run_traced(const std::string& trace, const std::string& calls,
                       const std::vector<std::string>& arguments, child_result& result) {
  const char* const strace = "/usr/bin/strace";
  if (::access(strace, X_OK) != 0) {
    return "strace is not installed (scripts/install_deps installs it)";
  }
  std::vector<std::string> words = {strace,
                                    "-f",
                                    "-qq",
                                    "-y",
                                    "-e",
                                    "signal=none",
                                    "-e",
                                    "trace=" + calls,
                                    "-o",
                                    trace,
                                    VEK_SMBIOS_UTIL_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  result = run_in_child([&] {
    std::vector<char*> argv;
    for (std::string& word : words) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string chip = std::string("VEK_TEST_CHIP=") + emulated_board::CHIP;
    // LeakSanitizer cannot run under a tracer: a sanitizer build's leak check is left out here.
    const char* envp[] = {"PATH=/tmp/board/bin", chip.c_str(), "VEK_STAND_INS=" VEK_FAKE_TOOLS_DIR,
                          "ASAN_OPTIONS=detect_leaks=0", nullptr};
    if (::chdir(emulated_board::DIR) == 0) {
      ::execve(strace, argv.data(), const_cast<char* const*>(envp));
    }
    ::_exit(126);
  });
  if (result.exit_status != 0 && read_file(trace).empty()) {
    return "strace cannot trace here: " + result.err;
  }
  return "";
}

std::vector<traced_call> traced_calls(const std::string& trace, const std::string& folder) {
  const std::regex call(
      "^\\d+ +(\\w+)\\(\\d+<" + folder +
      "/?([^>]*)>(?:, \"([^\"]*)\")?(?:, \\d+<[^>]*>, \"([^\"]*)\")?(?:.*, (\\d+)\\))?");
  std::vector<traced_call> calls;
  for (const std::string& line : read_lines(trace)) {
    std::smatch match;
    if (std::regex_search(line, match, call)) {
      calls.push_back({match[1], match[2], match[3], match[4], match[5]});
    }
  }
  return calls;
}

namespace {

// Runs a setup command of the tests' own and fails the test when it fails.
void run_setup(const std::string& command) {
  const std::string with_path =
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin; " + command +
      " >/dev/null 2>&1";
  const int status = std::system(with_path.c_str());
  ASSERT_EQ(status, 0) << command;
}

} // namespace

shell_recorder::shell_recorder(std::vector<int> statuses,
                               std::function<void(const std::string&)> on_command)
    : statuses_(std::move(statuses)), on_command_(std::move(on_command)),
      runner_(out_, log_, *this) {}

int shell_recorder::run(const char* text) {
  commands_.emplace_back(text);
  if (on_command_) {
    on_command_(text);
  }
  if (statuses_.empty()) {
    return 0;
  }
  const int status = statuses_.front();
  statuses_.erase(statuses_.begin());
  return status;
}

void reset_process_state() {
#if defined(__FreeBSD__)
  optreset = 1;
  optind = 1;
#else
  optind = 0; // glibc starts afresh, its internal state included
#endif
}

bool names_option(const std::string& diagnostic, const std::string& option) {
  // Before the name: a blank, a quote or the option's own dashes; after it: a quote, "=", a
  // blank or the line end.
  for (std::size_t at = diagnostic.find(option); at != std::string::npos;
       at = diagnostic.find(option, at + 1)) {
    const char before = at == 0 ? ' ' : diagnostic[at - 1];
    const std::size_t end = at + option.size();
    const char after = end == diagnostic.size() ? '\n' : diagnostic[end];
    if (std::strchr(" '\"-`", before) != nullptr && std::strchr("'\"= \n", after) != nullptr) {
      return true;
    }
  }
  return false;
}

bool devices_are_roots() {
  struct stat status;
  return ::stat("/dev/full", &status) == 0 && status.st_uid == 0;
}

void make_image(const std::string& path, const std::string& region, off_t size) {
  write_file(path, "");
  ASSERT_EQ(::truncate(path.c_str(), size), 0) << path;
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr) << path;
  std::fseek(file, DMI_RECORD_OFFSET, SEEK_SET);
  std::fwrite(region.data(), 1, region.size(), file);
  std::fclose(file);
}

namespace {

// The runs of the tool and its stand-ins copy whole 16 MiB images too: glibc's malloc asks for
// huge pages for them, as it does in the test binary (see CMakeLists.txt).
constexpr const char* MALLOC_TUNABLES = "glibc.malloc.hugetlb=1";

// The flash layout of the images make_coreboot_image builds, as fmaptool reads it: everything
// below the coreboot region as one region, then the flash map and the CBFS in the coreboot region.
const std::string COREBOOT_IMAGE_LAYOUT = [] {
  constexpr long long FMAP_SIZE = 0x1000;
  const long long coreboot = COREBOOT_REGION_OFFSET;
  return format_text("FLASH@0 %lld {\n\tSI_ALL@0 %#llx\n\tFMAP@%#llx %#llx\n"
                     "\tCOREBOOT(CBFS)@%#llx %#llx\n}\n",
                     static_cast<long long>(FLASH_IMAGE_SIZE), coreboot, coreboot, FMAP_SIZE,
                     coreboot + FMAP_SIZE, static_cast<long long>(REGION_SIZE) - FMAP_SIZE);
}();

// Builds the image of make_coreboot_image at `path`, with its side files beside it.
void build_coreboot_image(const std::string& path, const dmi_record* record, char fill) {
  write_file(path + ".fmd", COREBOOT_IMAGE_LAYOUT);
  run_setup("fmaptool " + path + ".fmd " + path + ".fmap");
  run_setup("cbfstool " + path + " create -M " + path + ".fmap -r COREBOOT");
  {
    std::fstream image(path, std::ios::binary | std::ios::in | std::ios::out);
    image << std::string(4096, fill);
  }
  if (record != nullptr) {
    write_file(path + ".record", record_bytes(*record));
    run_setup("cbfstool " + path + " add -f " + path + ".record -n vek_smbios -t struct" +
              " -r COREBOOT -b " + format_text("%#x", DMI_RECORD_ADDRESS));
  }
}

// Where the built image for these arguments is kept: a name made of a hash of all they decide.
std::string cached_image_path(const dmi_record* record, char fill) {
  std::string key = COREBOOT_IMAGE_LAYOUT + fill;
  key += record != nullptr ? record_bytes(*record) : std::string("no record");
  std::uint64_t hash = 14695981039346656037u; // FNV-1a
  for (const char c : key) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  }
  char name[40];
  std::snprintf(name, sizeof name, "/coreboot-%016llx.rom", static_cast<unsigned long long>(hash));
  return VEK_TEST_IMAGE_CACHE + std::string(name);
}

} // namespace

void make_coreboot_image(const std::string& path, const dmi_record* record, char fill) {
  const std::string cached = cached_image_path(record, fill);
  if (!file_exists(cached)) {
    // Built in a scratch folder of its own and renamed into place whole, so test processes
    // running at the same time never see half an image.
    ::mkdir(VEK_TEST_IMAGE_CACHE, 0755);
    std::string scratch = std::string(VEK_TEST_IMAGE_CACHE) + "/build.XXXXXX";
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr) << scratch << ": " << std::strerror(errno);
    build_coreboot_image(scratch + "/image.rom", record, fill);
    const bool built = !testing::Test::HasFatalFailure() &&
                       std::rename((scratch + "/image.rom").c_str(), cached.c_str()) == 0;
    std::filesystem::remove_all(scratch);
    ASSERT_TRUE(built) << "cannot build " << cached;
  }
  ::unlink(path.c_str());
  std::error_code error;
  std::filesystem::copy_file(cached, path, std::filesystem::copy_options::overwrite_existing,
                             error);
  ASSERT_FALSE(error) << "cannot copy " << cached << " to " << path << ": " << error.message();
}

void make_batch_board(const emulated_board& board, const dmi_record& master,
                      const std::string& master_path, const std::string& out) {
  board.remove_program("flashrom");
  make_coreboot_image(master_path, &master, 'M');
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
}

std::string image_record_bytes(const std::string& path) {
  return read_file(path).substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE);
}

emulated_board::emulated_board(flashrom_stand_in flashrom) {
  ::mkdir(DIR, 0755);
  ::mkdir("/tmp/board/bin", 0755);
  const std::pair<const char*, const char*> stand_ins[] = {
      {"flashrom", flashrom == flashrom_stand_in::real ? "flashrom" : "quick_flashrom"},
      {"cbfstool", "cbfstool"},
      {"cp", "cp"}};
  for (const auto& [program, stand_in] : stand_ins) {
    const std::string link = std::string("/tmp/board/bin/") + program;
    ::unlink(link.c_str());
    EXPECT_EQ(::symlink((std::string(VEK_FAKE_TOOLS_DIR) + "/" + stand_in).c_str(), link.c_str()),
              0);
  }
  ::unlink("/tmp/board/calls");
}

void emulated_board::make_chip(const dmi_record* record) const {
  make_coreboot_image(CHIP, record, 'D');
}

void emulated_board::remove_program(const std::string& name) const {
  ::unlink(("/tmp/board/bin/" + name).c_str());
}

child_result emulated_board::run(const std::vector<std::string>& arguments,
                                 const std::string& fault,
                                 const std::function<void()>& prepare) const {
  std::map<std::string, std::string> settings = {{"PATH", "/tmp/board/bin"},
                                                 {"VEK_TEST_CHIP", CHIP},
                                                 {"VEK_CALLS", "/tmp/board/calls"},
                                                 {"VEK_STAND_INS", VEK_FAKE_TOOLS_DIR},
                                                 {"VEK_FAULT", fault},
                                                 {"GLIBC_TUNABLES", MALLOC_TUNABLES}};
  for (const auto& [name, value] : environment_) {
    settings[name] = value;
  }
  std::vector<std::string> environment;
  for (const auto& [name, value] : settings) {
    environment.push_back(name + "=" + value);
  }
  const child_result result = run_in_child([&] {
    std::vector<char*> argv = {const_cast<char*>("vek_smbios_util")};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
      envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    if (prepare) {
      prepare();
    }
    if (::chdir(DIR) == 0) {
      ::execve(VEK_SMBIOS_UTIL_PATH, argv.data(), envp.data());
    }
    std::perror("cannot run " VEK_SMBIOS_UTIL_PATH);
    ::_exit(126);
  });
  // Every document a run prints must be one of the schema the tool installs.
  if (std::find(arguments.begin(), arguments.end(), "--json") != arguments.end() &&
      !result.out.empty()) {
    EXPECT_EQ(schema_fault(result.out), "") << result.out;
  }
  return result;
}

void emulated_board::set_environment(const std::string& name, const std::string& value) {
  environment_[name] = value;
}

std::vector<std::string> emulated_board::calls() const {
  return read_lines("/tmp/board/calls");
}

namespace {

// The folder of a held step: open to every user, as runs may drop root. The stand-in creates
// `started` in it, then waits until a writer opens the FIFO `go`.
const std::string HOLD_DIR = "/tmp/board/hold";
const std::string HOLD_FIFO = HOLD_DIR + "/go";
const std::string HOLD_STARTED = HOLD_FIFO + ".started";

// Whether `condition` holds within 30 s, looked at every millisecond.
bool within_30_seconds(const std::function<bool()>& condition) {
  for (int tries = 0; tries < 30000; ++tries) {
    if (condition()) {
      return true;
    }
    ::usleep(1000);
  }
  return false;
}

// Opens the FIFO for writing when a reader waits on it, which lets that reader go.
bool open_hold_fifo() {
  const int fd = ::open(HOLD_FIFO.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  ::unlink(HOLD_STARTED.c_str());
  return true;
}

} // namespace

held_step::held_step(emulated_board& board, const std::string& step) : board_(board) {
  ::mkdir(HOLD_DIR.c_str(), 0777);
  ::chmod(HOLD_DIR.c_str(), 0777);
  ::unlink(HOLD_STARTED.c_str());
  ::unlink(HOLD_FIFO.c_str());
  EXPECT_EQ(::mkfifo(HOLD_FIFO.c_str(), 0666), 0) << std::strerror(errno);
  ::chmod(HOLD_FIFO.c_str(), 0666);
  board_.set_environment("VEK_HOLD", step + ":" + HOLD_FIFO);
}

held_step::~held_step() {
  board_.set_environment("VEK_HOLD", "");
  open_hold_fifo();
  ::unlink(HOLD_FIFO.c_str());
}

bool held_step::started() const {
  return within_30_seconds([] { return file_exists(HOLD_STARTED); });
}

bool held_step::release() const {
  return within_30_seconds(open_hold_fifo);
}

background_child::background_child(const std::function<void()>& body) {
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    body();
    ::_exit(0);
  }
}

background_child::~background_child() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}
