// Helpers shared by the tests.
#include "tests/test_support.h"

#include "cli/options.h"
#include "system/flash_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
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
    body();
    std::fflush(nullptr);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out_fd);
  ::close(err_fd);
  child_result result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  ::unlink(out_path);
  ::unlink(err_path);
  return result;
}

namespace {

// The shell the runner starts with, put back after every case.
const shell_function original_shell = command_shell;

std::vector<std::string> recorded_commands;
std::vector<int> pending_statuses;
std::function<void(const std::string&)> command_hook;

int recording_shell(const char* text) {
  recorded_commands.emplace_back(text);
  if (command_hook) {
    command_hook(text);
  }
  if (pending_statuses.empty()) {
    return 0;
  }
  const int status = pending_statuses.front();
  pending_statuses.erase(pending_statuses.begin());
  return status;
}

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
    : saved_(command_shell) {
  recorded_commands.clear();
  pending_statuses = std::move(statuses);
  command_hook = std::move(on_command);
  command_shell = recording_shell;
}

shell_recorder::~shell_recorder() {
  command_shell = saved_;
  command_hook = {};
}

const std::vector<std::string>& shell_recorder::commands() {
  return recorded_commands;
}

void reset_process_state() {
  log_path.reset();
  if (log_stream != nullptr) {
    std::fclose(log_stream);
    log_stream = nullptr;
  }
  command_shell = original_shell;
  recorded_commands.clear();
  pending_statuses.clear();
  command_hook = {};
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

void make_image(const std::string& path, const std::string& region, off_t size) {
  write_file(path, "");
  ASSERT_EQ(::truncate(path.c_str(), size), 0) << path;
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(file, nullptr) << path;
  std::fseek(file, DMI_RECORD_OFFSET, SEEK_SET);
  std::fwrite(region.data(), 1, region.size(), file);
  std::fclose(file);
}

void make_coreboot_image(const std::string& path, const dmi_record* record, char fill) {
  const std::string fmd = path + ".fmd";
  write_file(fmd, "FLASH@0 16M {\n"
                  "\tSI_ALL@0 0xC00000\n"
                  "\tFMAP@0xC00000 0x1000\n"
                  "\tCOREBOOT(CBFS)@0xC01000 0x3FF000\n"
                  "}\n");
  ::unlink(path.c_str());
  run_setup("fmaptool " + fmd + " " + path + ".fmap");
  run_setup("cbfstool " + path + " create -M " + path + ".fmap -r COREBOOT");
  {
    std::fstream image(path, std::ios::binary | std::ios::in | std::ios::out);
    image << std::string(4096, fill);
  }
  if (record != nullptr) {
    write_file(path + ".record", record_bytes(*record));
    run_setup("cbfstool " + path + " add -f " + path + ".record -n vek_smbios -t struct" +
              " -r COREBOOT -b 0xffff0100");
  }
}

std::string image_record_bytes(const std::string& path) {
  return read_file(path).substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE);
}

emulated_board::emulated_board() {
  ::mkdir(DIR, 0755);
  ::mkdir("/tmp/board/bin", 0755);
  for (const char* program : {"flashrom", "cbfstool", "cp"}) {
    const std::string link = std::string("/tmp/board/bin/") + program;
    ::unlink(link.c_str());
    EXPECT_EQ(::symlink((std::string(VEK_FAKE_TOOLS_DIR) + "/" + program).c_str(), link.c_str()),
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
                                                 {"VEK_FAULT", fault}};
  for (const auto& [name, value] : environment_) {
    settings[name] = value;
  }
  std::vector<std::string> environment;
  for (const auto& [name, value] : settings) {
    environment.push_back(name + "=" + value);
  }
  return run_in_child([&] {
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
}

void emulated_board::set_environment(const std::string& name, const std::string& value) {
  environment_[name] = value;
}

std::vector<std::string> emulated_board::calls() const {
  return read_lines("/tmp/board/calls");
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
