// What a run makes for its own work and must remove: files and folders, each owned by a
// `leftover` that removes it when it goes, so every way a run ends (success, or a failure on its
// way up) removes them. A hang-up, interrupt or termination signal removes every one still
// owned, then ends the run by the same signal; only SIGKILL leaves them behind.
#pragma once

#include <string>

enum class leftover_kind { file, folder };

class leftover {
public:
  leftover() = default;
  // Owns `path`, which may not exist yet: a file is unlinked, a folder (emptied first by its own
  // leftovers) removed. The first one arranges the removal on SIGHUP, SIGINT and SIGTERM (a signal
  // the run was started with ignored stays ignored). Ends the run when the path is too long or
  // too many are owned at once.
  leftover(const std::string& path, leftover_kind kind);
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
};
