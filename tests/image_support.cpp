// Helpers for the runs on image files and for the JSON results.
#include "tests/image_support.h"

#include "tests/build_paths.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* SYSTEM_PATH =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

int become_unprivileged() {
  const gid_t no_groups[1] = {};
  if (::setgroups(0, no_groups) != 0 ||
      ::setresgid(UNPRIVILEGED_ID, UNPRIVILEGED_ID, UNPRIVILEGED_ID) != 0 ||
      ::setresuid(UNPRIVILEGED_ID, UNPRIVILEGED_ID, UNPRIVILEGED_ID) != 0) {
    return -1;
  }
  return 0;
}

// Runs `command` through the shell with the system's path; returns its standard output and
// sets `status` to the shell's exit status.
std::string capture(const std::string& command, int& status) {
  std::FILE* pipe = ::popen((std::string(SYSTEM_PATH) + "; " + command).c_str(), "r");
  std::string out;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    out.append(buffer, got);
  }
  const int wait_status = ::pclose(pipe);
  status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return out;
}

} // namespace

bool can_drop_privileges() {
  static const bool possible = [] {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::_exit(become_unprivileged() == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return possible;
}

void make_image_folder() {
  std::system((std::string(SYSTEM_PATH) + "; rm -rf " + IMAGE_DIR).c_str());
  ASSERT_EQ(::mkdir(IMAGE_DIR, 0755), 0);
  give_to_unprivileged_user(IMAGE_DIR);
}

void give_to_unprivileged_user(const std::string& path) {
  if (can_drop_privileges()) {
    ASSERT_EQ(::chown(path.c_str(), UNPRIVILEGED_ID, UNPRIVILEGED_ID), 0) << path;
  }
}

void drop_privileges() {
  if (can_drop_privileges() && become_unprivileged() != 0) {
    std::perror("dropping to the unprivileged user");
    ::_exit(125);
  }
}

std::vector<std::string> folder_entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string jq(const std::string& filter, const std::string& json) {
  write_file("/tmp/document.json", json);
  int status = -1;
  const std::string out = capture("jq -j '" + filter + "' /tmp/document.json", status);
  EXPECT_EQ(status, 0) << "jq " << filter << " on " << json;
  return out;
}

std::string schema_fault(const std::string& json) {
  write_file("/tmp/document.json", json);
  int status = -1;
  const std::string out = capture(
      "python3 -c 'import json, sys, jsonschema\n"
      "schema = json.load(open(sys.argv[1]))\n"
      "errors = list(jsonschema.Draft202012Validator(schema).iter_errors(json.load(sys.stdin)))\n"
      "for error in errors[:3]: print(\"/\".join(map(str, error.absolute_path)), error.message)\n"
      "' " VEK_JSON_SCHEMA " </tmp/document.json 2>&1",
      status);
  return status == 0 ? out : "the validator did not run: " + out;
}

std::string manifest_fault(const std::string& jsonl) {
  write_file("/tmp/manifest.jsonl", jsonl);
  int status = -1;
  // The manifest's schema takes the record from the document's schema, installed beside it;
  // older jsonschema modules find it through a resolver, newer ones through a registry.
  const std::string out = capture(
      "python3 -c 'import json, sys, jsonschema\n"
      "schemas = [json.load(open(path)) for path in sys.argv[1:]]\n"
      "try:\n"
      "    import referencing\n"
      "    registry = referencing.Registry().with_resources(\n"
      "        (s[\"$id\"], referencing.Resource.from_contents(s)) for s in schemas)\n"
      "    validator = jsonschema.Draft202012Validator(schemas[0], registry=registry)\n"
      "except ImportError:\n"
      "    store = {s[\"$id\"]: s for s in schemas}\n"
      "    resolver = jsonschema.RefResolver.from_schema(schemas[0], store=store)\n"
      "    validator = jsonschema.Draft202012Validator(schemas[0], resolver=resolver)\n"
      "for number, line in enumerate(sys.stdin, 1):\n"
      "    for error in list(validator.iter_errors(json.loads(line)))[:3]:\n"
      "        print(\"line\", number, \"/\".join(map(str, error.absolute_path)), error.message)\n"
      "' " VEK_MANIFEST_SCHEMA " " VEK_JSON_SCHEMA " </tmp/manifest.jsonl 2>&1",
      status);
  return status == 0 ? out : "the validator did not run: " + out;
}

bool strict_json(const std::string& json) {
  write_file("/tmp/document.json", json);
  int status = -1;
  capture("python3 -c 'import json, sys; json.loads(sys.stdin.buffer.read().decode(\"utf-8\"))'"
          " </tmp/document.json",
          status);
  return status == 0;
}
