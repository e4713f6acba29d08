// Search path clean-up.
#include "system/search_path.h"

#include <stdlib.h>

std::string absolute_search_path(std::string_view path) {
  std::string kept;
  while (true) {
    const std::size_t colon = path.find(':');
    const std::string_view entry = path.substr(0, colon);
    if (!entry.empty() && entry.front() == '/') {
      kept += kept.empty() ? "" : ":";
      kept += entry;
    }
    if (colon == std::string_view::npos) {
      return kept;
    }
    path.remove_prefix(colon + 1);
  }
}

void drop_relative_path_entries() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) {
    return;
  }
  const std::string kept = absolute_search_path(path);
  if (kept.empty()) {
    ::unsetenv("PATH");
  } else {
    ::setenv("PATH", kept.c_str(), 1);
  }
}
