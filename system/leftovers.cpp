// What a run must remove when it ends.
#include "system/leftovers.h"

#include "util/failure.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr int MAX_LEFTOVERS = 8;

// Plain buffers and flags in fixed slots, because the signal handler reads them.
struct slot {
  char path[PATH_MAX];
  leftover_kind kind;
  volatile sig_atomic_t owned;
};
slot slots[MAX_LEFTOVERS];

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

void arrange_removal_on_signals() {
  static bool arranged = false;
  if (arranged) {
    return;
  }
  arranged = true;
  struct sigaction action {};
  action.sa_handler = remove_all_and_die;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
    // A signal the run was started with ignored (as a background job, or under nohup) stays so.
    struct sigaction before {};
    if (::sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
      ::sigaction(signal_number, &action, nullptr);
    }
  }
}

} // namespace

leftover::leftover(const std::string& path, leftover_kind kind) {
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

leftover::leftover(leftover&& other) noexcept : entry_(other.entry_) {
  other.entry_ = -1;
}

leftover& leftover::operator=(leftover&& other) noexcept {
  if (this != &other) {
    remove();
    entry_ = other.entry_;
    other.entry_ = -1;
  }
  return *this;
}

void leftover::keep() {
  if (entry_ >= 0) {
    slots[entry_].owned = 0;
    entry_ = -1;
  }
}

void leftover::remove() {
  if (entry_ >= 0) {
    remove_slot(slots[entry_]);
    entry_ = -1;
  }
}
