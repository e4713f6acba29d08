// The search path the shell uses to find flashrom, cbfstool and cp.
#pragma once

#include <string>
#include <string_view>

// `path` (a PATH value) without its empty and relative entries, the others kept in their order.
std::string absolute_search_path(std::string_view path);

// Takes the empty and relative entries out of PATH, which stand for the current folder or a
// folder under it, where another user may have put a program of the same name. A PATH left with
// no entry is removed, as the shell would take an empty one for the current folder; an unset
// PATH stays unset.
void drop_relative_path_entries();
