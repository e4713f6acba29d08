// What a run must remove when it ends, and the signals that end it.
#include "system/leftovers.h"

#include "util/failure.h"

#include <limits.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace {

// A batch owns the working copy of each image waiting for its flush to disk (at most 48), besides
// its private folder and the files in it.
constexpr int MAX_LEFTOVERS = 64;

// Plain buffers and flags in fixed slots, because the signal handler reads them.
struct slot {
  char path[PATH_MAX];
  leftover_kind kind;
  volatile sig_atomic_t owned;
};
slot slots[MAX_LEFTOVERS];

// Whether a signal_deferral lives, and the first signal it noted.
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t noted = 0;

void remove_slot(slot& entry) {
  if (entry.owned != 0) {
    entry.owned = 0;
    if (entry.kind == leftover_kind::folder) {
      ::rmdir(entry.path);
    } else {
      ::unlink(entry.path);
    }
  }
}

// Only calls that are safe in a signal handler. Files go before folders, which they may be in.
void remove_all_and_die(int signal_number) {
  for (const leftover_kind kind : {leftover_kind::file, leftover_kind::folder}) {
    for (slot& entry : slots) {
      if (entry.kind == kind) {
        remove_slot(entry);
      }
    }
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void on_signal(int signal_number) {
  if (deferring != 0 && noted == 0) {
    noted = signal_number;
    return;
  }
  remove_all_and_die(signal_number);
}

// Installs on_signal for `signal_number` unless the run was started with it ignored (as a
// background job, or under nohup): then it stays so. Keeps the disposition before in `before`.
void catch_signal(int signal_number, struct sigaction& before) {
  struct sigaction action {};
  action.sa_handler = on_signal;
  // A noted signal returns to the step under way, whose system calls then go on.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (::sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
    ::sigaction(signal_number, &action, nullptr);
  }
}

void arrange_removal_on_signals() {
  static bool arranged = false;
  if (arranged) {
    return;
  }
  arranged = true;
  for (const int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
    struct sigaction before {};
    catch_signal(signal_number, before);
  }
}

} // namespace

leftover::leftover(const std::string& path, leftover_kind kind, unique_fd held)
    : held_(std::move(held)) {
  arrange_removal_on_signals();
  if (path.size() >= PATH_MAX) {
    fail(failure_kind::file, path, "Path too long: %s\n", path.c_str());
  }
  for (int entry = 0; entry < MAX_LEFTOVERS; ++entry) {
    if (slots[entry].owned == 0) {
      std::memcpy(slots[entry].path, path.c_str(), path.size() + 1);
      slots[entry].kind = kind;
      slots[entry].owned = 1;
      entry_ = entry;
      return;
    }
  }
  fail(failure_kind::file, path, "Too many working files to keep track of: %s\n", path.c_str());
}

leftover::~leftover() {
  remove();
}

leftover::leftover(leftover&& other) noexcept
    : entry_(other.entry_), held_(std::move(other.held_)) {
  other.entry_ = -1;
}

leftover& leftover::operator=(leftover&& other) noexcept {
  if (this != &other) {
    remove();
    entry_ = other.entry_;
    other.entry_ = -1;
    held_ = std::move(other.held_);
  }
  return *this;
}

void leftover::keep() {
  if (entry_ >= 0) {
    slots[entry_].owned = 0;
    entry_ = -1;
  }
  held_.reset();
}

void leftover::remove() {
  if (entry_ >= 0) {
    remove_slot(slots[entry_]);
    entry_ = -1;
  }
  // Unlocked only once the name is gone, so no later run takes it for a leftover meanwhile.
  held_.reset();
}

signal_deferral::signal_deferral() {
  arrange_removal_on_signals();
  deferring = 1;
  // A quit from the terminal would otherwise end the batch at once, its working copy left behind.
  catch_signal(SIGQUIT, quit_before_);
}

signal_deferral::~signal_deferral() {
  deferring = 0;
  ::sigaction(SIGQUIT, &quit_before_, nullptr);
}

bool signals_deferred() {
  return deferring != 0;
}

void note_signal(int signal_number) {
  if (deferring != 0 && noted == 0) {
    noted = signal_number;
  }
}

int noted_signal() {
  return noted;
}

std::string signal_name(int signal_number) {
  switch (signal_number) {
  case SIGHUP:
    return "SIGHUP";
  case SIGINT:
    return "SIGINT";
  case SIGQUIT:
    return "SIGQUIT";
  case SIGTERM:
    return "SIGTERM";
  default:
    return "signal " + std::to_string(signal_number);
  }
}

void stop_if_interrupted() {
  if (const int signal_number = noted) {
    throw run_failure(128 + signal_number, failure_kind::usage,
                      "Stopped by " + signal_name(signal_number) + "\n");
  }
}

void end_by_noted_signal() {
  const int signal_number = noted;
  if (signal_number == 0) {
    return;
  }
  if (signal_number == SIGQUIT) {
    // The operator asked the run to stop, not for a core file beside the images.
    const struct rlimit none {};
    ::setrlimit(RLIMIT_CORE, &none);
  }
  ::signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal_number);
}
