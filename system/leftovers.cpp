// What a run must remove when it ends.
#include "system/leftovers.h"

#include "util/fail.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr int MAX_LEFTOVERS = 8;

// Plain buffers and flags, because the signal handler reads them.
struct leftover {
  char path[PATH_MAX];
  leftover_kind kind;
  volatile sig_atomic_t noted;
};
leftover leftovers[MAX_LEFTOVERS];
volatile sig_atomic_t leftover_count = 0;

// Only calls that are safe in a signal handler.
void remove_all() {
  for (int i = leftover_count - 1; i >= 0; --i) {
    if (leftovers[i].noted != 0) {
      leftovers[i].noted = 0;
      if (leftovers[i].kind == leftover_kind::folder) {
        ::rmdir(leftovers[i].path);
      } else {
        ::unlink(leftovers[i].path);
      }
    }
  }
  leftover_count = 0;
}

void remove_all_and_die(int signal_number) {
  remove_all();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void arrange_removal_at_end() {
  static bool arranged = false;
  if (arranged) {
    return;
  }
  arranged = true;
  // Every way the run ends, success, fail() or a failing outside program, passes through exit.
  std::atexit(remove_all);
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

int note_leftover(const char* path, leftover_kind kind) {
  arrange_removal_at_end();
  const std::size_t length = std::strlen(path);
  if (length >= PATH_MAX) {
    fail("Path too long: %s\n", path);
  }
  if (leftover_count == MAX_LEFTOVERS) {
    fail("Too many working files to keep track of: %s\n", path);
  }
  const int entry = leftover_count;
  std::memcpy(leftovers[entry].path, path, length + 1);
  leftovers[entry].kind = kind;
  leftovers[entry].noted = 1;
  leftover_count = entry + 1;
  return entry;
}

void forget_leftover(int entry) {
  if (entry >= 0 && entry < leftover_count) {
    leftovers[entry].noted = 0;
  }
}

void remove_leftovers() {
  remove_all();
}
