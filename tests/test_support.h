// Helpers shared by the tests: files, child processes, a recording shell, emulated chips.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"
#include "run/reporter.h"
#include "system/command_runner.h"
#include "system/flash_files.h"
#include "system/run_log.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// argv as main gets it: the program name, the arguments, a null pointer.
class command_line {
public:
  explicit command_line(std::vector<std::string> arguments) : strings_(std::move(arguments)) {
    strings_.insert(strings_.begin(), "vek_smbios_util");
    for (std::string& text : strings_) {
      argv_.push_back(text.data());
    }
    argv_.push_back(nullptr);
  }
  int argc() const {
    return static_cast<int>(strings_.size());
  }
  char** argv() {
    return argv_.data();
  }

private:
  std::vector<std::string> strings_;
  std::vector<char*> argv_;
};

// Parses `line` as main does, then shows as main does in the text form what the parse has to say:
// the text it asks for, then its failure, or the warnings of a parse that goes on. Returns the
// parse's status.
std::optional<int> parse_and_show(command_line& line, run_settings& settings, dmi_record& record);

// The lines of a file without their line ends (none when it cannot be read).
std::vector<std::string> read_lines(const std::string& path);

// A record with the given text fields set in order, on an initialised record.
dmi_record make_record(const std::vector<std::pair<field_id, std::string>>& texts);
std::string record_bytes(const dmi_record& record);

// What a merging mode stores: `override` laid over `base`, marked as stored by this tool.
std::string stored_merge(const dmi_record& base, const dmi_record& override);

// How a child process ended and what it printed.
struct child_result {
  int exit_status = -1; // the exit code, or -1 when the child was killed
  int signal = 0;       // the signal that killed it, or 0
  std::string out;
  std::string err;
};

// Runs `body` in a forked child with standard output and error captured. A body that returns
// ends the child with status 0.
child_result run_in_child(const std::function<void()>& body);

// Runs the built tool with `arguments` in /tmp/board, on the emulated board's PATH and chip,
// under strace -f -y tracing the system calls `calls` (as strace's trace= lists them) into the
// file `trace`; `result` is how the run ended. Returns why it cannot be traced here (no strace,
// or tracing not allowed), or "".
std::string run_traced(const std::string& trace, const std::string& calls,
                       const std::vector<std::string>& arguments, child_result& result);

// A system call an strace -f -y trace shows on a descriptor of a folder or of a file in it.
struct traced_call {
  std::string call;     // "fsync", "renameat2", ...
  std::string file;     // the descriptor's file in the folder; "" for the folder itself
  std::string name;     // the first text in quotes after it (a name renamed or removed), if any
  std::string new_name; // a rename's new name, if any
  std::string last;     // its last argument when a number (a positioned write's offset)
};

// The calls the strace output at `trace` shows on `folder` and its files, in order.
std::vector<traced_call> traced_calls(const std::string& trace, const std::string& folder);

// A runner for the steps under test, with a shell that records each command text it is given and
// answers with the next of the given raw wait statuses (0 once they are used up). `on_command`,
// when set, runs for each command first, e.g. to play flashrom's part on the working image. The
// runner's output is the text form on the standard streams; it has no log until one is opened.
class shell_recorder : public command_shell {
public:
  explicit shell_recorder(std::vector<int> statuses = {},
                          std::function<void(const std::string&)> on_command = {});
  shell_recorder(const shell_recorder&) = delete;
  shell_recorder& operator=(const shell_recorder&) = delete;

  command_runner& runner() {
    return runner_;
  }
  reporter& out() {
    return out_;
  }
  run_log& log() {
    return log_;
  }
  // Takes `path` as the runner's log, as -l does.
  void open_log(const std::string& path) {
    log_ = run_log(path);
  }
  int run(const char* text) override;
  // The commands run so far, in order.
  const std::vector<std::string>& commands() const {
    return commands_;
  }

private:
  std::vector<std::string> commands_;
  std::vector<int> statuses_;
  std::function<void(const std::string&)> on_command_;
  reporter out_{output_form::text};
  run_log log_;
  command_runner runner_;
};

// Resets the process-wide state that option parsing keeps: getopt's position. Runs after every
// case, together with the emptying of the private /tmp (tests/test_isolation.cpp).
void reset_process_state();

// Whether a getopt diagnostic names `option` (without its dashes) as a word of its own. glibc
// and FreeBSD word and quote the message differently, but both name the option.
bool names_option(const std::string& diagnostic, const std::string& option);

// Whether the devices (/dev/full, /dev/null) belong to root as this process sees them: not so in
// the user namespace that tests/private_tmp makes for another user, where the host's root shows
// as an unmapped user and the tool refuses a device as an output.
bool devices_are_roots();

// Makes a sparse image of `size` bytes at `path` with `region` at the record's place.
void make_image(const std::string& path, const std::string& region, off_t size = FLASH_IMAGE_SIZE);

// Makes a 16 MiB image at `path` with an FMAP whose region COREBOOT (0xC01000 to the end) holds
// a CBFS, like a coreboot image; when `record` is given it is added as vek_smbios at 0xFFFF0100.
// `fill` is written into the first 4 KiB so the regions outside coreboot are recognisable.
// Each distinct image is built once with fmaptool and cbfstool and kept in the build tree; later
// calls, in any test process, copy it.
void make_coreboot_image(const std::string& path, const dmi_record* record, char fill = 'D');

// The 256 bytes at the record's place in an image file.
std::string image_record_bytes(const std::string& path);

// Which stand-in plays flashrom on an emulated board: the quick one copies the region between
// the chip file and the image; the real flashrom on its dummy programmer is for the cases that
// prove flashrom's own work (its command lines, output and statuses on the emulated chip).
enum class flashrom_stand_in { quick, real };

// A board with an emulated chip for runs of the built tool: /tmp/board holds the chip image,
// the call record of the stand-ins, and bin/, the only folder on the tool's PATH, where the
// stand-ins for flashrom, cbfstool and cp are linked.
class emulated_board {
public:
  static constexpr const char* DIR = "/tmp/board";
  static constexpr const char* CHIP = "/tmp/board/chip.bin";

  explicit emulated_board(flashrom_stand_in flashrom = flashrom_stand_in::quick);

  // Makes the chip a coreboot image holding `record` (none when null).
  void make_chip(const dmi_record* record) const;
  // Takes a program off the tool's PATH, so the shell cannot find it: the one way the tests
  // make an outside program missing.
  void remove_program(const std::string& name) const;
  // Runs the built tool with `arguments` in /tmp/board; `fault` is a VEK_FAULT value, and
  // `prepare` runs in the child just before the tool starts.
  child_result run(const std::vector<std::string>& arguments, const std::string& fault = "",
                   const std::function<void()>& prepare = {}) const;
  // The command lines the stand-ins recorded, one per run program, in order.
  std::vector<std::string> calls() const;
  // Sets `name` in the environment of the later runs, over the board's own value (PATH, say).
  void set_environment(const std::string& name, const std::string& value);

private:
  std::map<std::string, std::string> environment_;
};

// Readies `board` for batches, which work on image files alone: no flashrom on its PATH, a master
// image holding `master` at `master_path`, and an empty output folder at `out`.
void make_batch_board(const emulated_board& board, const dmi_record& master,
                      const std::string& master_path, const std::string& out);

// Stops the stand-in of one outside step (a VEK_FAULT step name, e.g. "flashrom-write") of the
// board's later runs when it starts, until the test lets it go: the stand-in marks that it
// started and waits on a FIFO. The destructor lets a held step go.
class held_step {
public:
  held_step(emulated_board& board, const std::string& step);
  ~held_step();
  held_step(const held_step&) = delete;
  held_step& operator=(const held_step&) = delete;

  // Waits, for at most 30 s, until the step has started; says whether it did.
  bool started() const;
  // Lets the step that started go on (waiting, for at most 30 s, until it waits on the FIFO);
  // says whether it did. The next run's step is held again.
  bool release() const;

private:
  emulated_board& board_;
};

// Runs `body` in a forked child beside the test, e.g. an attacker or a process sending signals.
// The child ends when `body` returns; the guard kills it (SIGKILL) if it still runs at the end.
class background_child {
public:
  explicit background_child(const std::function<void()>& body);
  ~background_child();
  background_child(const background_child&) = delete;
  background_child& operator=(const background_child&) = delete;

private:
  pid_t pid_;
};
