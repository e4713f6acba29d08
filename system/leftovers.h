// What a run makes for its own work and must remove: files and folders, each owned by a
// `leftover` that removes it when it goes, so every way a run ends (success, or a failure on its
// way up) removes them. A hang-up, interrupt or termination signal removes every one still
// owned, then ends the run by the same signal; only SIGKILL leaves them behind. A batch defers
// those signals instead: it notes one, stops between its steps, says what it made and then ends
// by the signal.
#pragma once

#include "util/unique_fd.h"

#include <signal.h>

#include <string>

enum class leftover_kind { file, folder };

class leftover {
public:
  leftover() = default;
  // Owns `path`, which may not exist yet: a file is unlinked, a folder (emptied first by its own
  // leftovers) removed. `held`, when given, is a descriptor of it that stays open (and so keeps
  // the lock taken on it) until the path is removed or kept. The first one arranges the removal
  // on SIGHUP, SIGINT and SIGTERM (a signal the run was started with ignored stays ignored).
  // Ends the run when the path is too long or too many are owned at once.
  leftover(const std::string& path, leftover_kind kind, unique_fd held = unique_fd());
  ~leftover();
  leftover(leftover&& other) noexcept;
  leftover& operator=(leftover&& other) noexcept;
  leftover(const leftover&) = delete;
  leftover& operator=(const leftover&) = delete;

  // The file is no longer the run's to remove: it has replaced the file it was made for.
  void keep();

private:
  void remove();

  int entry_ = -1;
  unique_fd held_;
};

// While one lives (for a batch), a hang-up, interrupt, quit or termination signal no longer ends
// the run at once: the first is noted, for the run to stop between its steps (what it owns then
// goes as its owners do) and end by that signal once it has said what it did. A second one ends
// the run at once, as outside a batch. Outside programs then run without the run ignoring the
// interrupt while it waits for them (see system_shell), so an interrupt sent to the tool alone is
// heard too; the program's step runs to its end first.
class signal_deferral {
public:
  signal_deferral();
  ~signal_deferral();
  signal_deferral(const signal_deferral&) = delete;
  signal_deferral& operator=(const signal_deferral&) = delete;

private:
  struct sigaction quit_before_ {};
};

// Whether a signal_deferral lives.
bool signals_deferred();

// Notes `signal_number` as the signal the run stops for, as if it had come to the run itself
// (an outside program of a batch that died by an interrupt): only while signals are deferred, and
// only when none is noted yet.
void note_signal(int signal_number);

// The signal noted, or 0.
int noted_signal();

// The name of a signal: "SIGINT", "SIGTERM", or "signal N" for one the run does not heed.
std::string signal_name(int signal_number);

// Ends the run (the step under way) when a signal is noted, before the next step begins: a
// failure with status 128 plus the signal's number, which a batch takes as its interruption.
void stop_if_interrupted();

// Ends the process by the noted signal, when one is: its default disposition put back (for
// SIGQUIT, without leaving a core file), then raised. Returns when none is noted. Called by main
// once everything is said and the standard streams are flushed.
void end_by_noted_signal();
