// Tests of the search path clean-up.
#include "system/search_path.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

namespace {

TEST(SearchPath, KeepsOnlyAbsoluteEntriesInTheirOrder) {
  EXPECT_EQ(absolute_search_path("/usr/sbin:/usr/bin"), "/usr/sbin:/usr/bin");
  EXPECT_EQ(absolute_search_path(".:/usr/sbin::/usr/bin:"), "/usr/sbin:/usr/bin");
  EXPECT_EQ(absolute_search_path("bin:../x:/sbin"), "/sbin");
  EXPECT_EQ(absolute_search_path(":"), "");
}

TEST(SearchPath, PathOfOnlyRelativeEntriesIsRemovedAndAnUnsetOneStaysUnset) {
  const child_result result = run_in_child([] {
    ::setenv("PATH", ".::bin", 1);
    drop_relative_path_entries();
    std::printf("%s\n", std::getenv("PATH") == nullptr ? "unset" : std::getenv("PATH"));
    drop_relative_path_entries();
    std::printf("%s\n", std::getenv("PATH") == nullptr ? "unset" : std::getenv("PATH"));
    ::setenv("PATH", "/bin:.", 1);
    drop_relative_path_entries();
    std::printf("%s\n", std::getenv("PATH"));
  });
  EXPECT_EQ(result.out, "unset\nunset\n/bin\n");
}

} // namespace
