// Helpers for the runs on image files and for the JSON results.
#include "tests/image_support.h"

#include "tests/build_paths.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Whether this process's user namespace maps `uid`.
bool maps(unsigned uid) {
  unsigned long inside = 0;
  unsigned long outside = 0;
  unsigned long count = 0;
  bool mapped = false;
  if (std::FILE* map = std::fopen("/proc/self/uid_map", "re")) {
    while (std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3) {
      mapped = mapped || (uid >= inside && uid - inside < count);
    }
    std::fclose(map);
  }
  return mapped;
}

} // namespace

unsigned unprivileged_id() {
  static const unsigned id = maps(65534) || !maps(1000) ? 65534 : 1000;
  return id;
}

std::string as_written_in_tests(std::string words) {
  const std::string said = "uid " + std::to_string(unprivileged_id());
  for (std::size_t at = 0; (at = words.find(said, at)) != std::string::npos; at += 9) {
    words.replace(at, said.size(), "uid 65534");
  }
  return words;
}

namespace {

constexpr const char* SYSTEM_PATH =
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

int become_unprivileged() {
  const gid_t no_groups[1] = {};
  if (::setgroups(0, no_groups) != 0 ||
      ::setresgid(unprivileged_id(), unprivileged_id(), unprivileged_id()) != 0 ||
      ::setresuid(unprivileged_id(), unprivileged_id(), unprivileged_id()) != 0) {
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
    ASSERT_EQ(::chown(path.c_str(), unprivileged_id(), unprivileged_id()), 0) << path;
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

namespace {

// One validator for the whole test process: Python and jsonschema take a quarter of a second to
// start, more than most runs whose documents they check. It reads a document's length on a line,
// then the document, and answers the same way with the first errors (nothing when it is valid).
constexpr const char* VALIDATOR = R"(
import json, sys, jsonschema
schema = json.load(open(sys.argv[1]))
validator = jsonschema.Draft202012Validator(schema)
source, answer = sys.stdin.buffer, sys.stdout.buffer
while True:
    length = source.readline()
    if not length:
        break
    document = source.read(int(length))
    try:
        errors = list(validator.iter_errors(json.loads(document)))
        said = "".join("%s %s\n" % ("/".join(map(str, e.absolute_path)), e.message) for e in errors[:3])
    except ValueError as error:
        said = "not JSON: %s\n" % error
    said = said.encode()
    answer.write(b"%d\n" % len(said) + said)
    answer.flush()
)";

class schema_validator {
public:
  schema_validator() {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) {
      return;
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(to_child[0], STDIN_FILENO);
      ::dup2(from_child[1], STDOUT_FILENO);
      ::execlp("python3", "python3", "-c", VALIDATOR, VEK_JSON_SCHEMA, nullptr);
      ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    to_ = ::fdopen(to_child[1], "w");
    from_ = ::fdopen(from_child[0], "r");
  }

  // The validator's words on `json`, or why it could not say.
  std::string check(const std::string& json) {
    if (to_ == nullptr || from_ == nullptr) {
      return "the validator did not start";
    }
    std::fprintf(to_, "%zu\n", json.size());
    std::fwrite(json.data(), 1, json.size(), to_);
    std::fflush(to_);
    std::size_t length = 0;
    if (std::fscanf(from_, "%zu", &length) != 1 || std::fgetc(from_) != '\n') {
      return "the validator did not answer";
    }
    std::string said(length, '\0');
    return std::fread(said.data(), 1, length, from_) == length ? said : "the validator broke off";
  }

private:
  pid_t pid_ = -1;
  std::FILE* to_ = nullptr;
  std::FILE* from_ = nullptr;
};

} // namespace

std::string schema_fault(const std::string& json) {
  static schema_validator validator;
  return validator.check(json);
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
