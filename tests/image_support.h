// Helpers for the runs on image files and for the JSON results: an image folder the
// unprivileged user may write, dropping to that user, folder listings, and JSON parsers.
#pragma once

#include <string>
#include <vector>

// The folder the tests keep image files in; the runs may create their working copies there.
constexpr const char* IMAGE_DIR = "/tmp/board/images";
// The unprivileged user (and group) the runs on image files take.
// It is 65534 where the tests run as the machine's root; in the user namespace that
// tests/private_tmp makes for another user with subordinate ids, it is the first user of the block
// mapped beside root (1000), since 65534 there stands for every user outside the namespace.
unsigned unprivileged_id();

// `words` with the uid of the unprivileged user said as the tests write it, 65534, so that one
// expected message serves wherever the tests run.
std::string as_written_in_tests(std::string words);

// Whether a child of this process can become unprivileged_id(): it must be root, with that user
// mapped when it runs in a user namespace.
bool can_drop_privileges();

// Makes IMAGE_DIR anew, owned by unprivileged_id() when the runs can become that user.
void make_image_folder();

// Gives `path` to unprivileged_id() when the runs can become that user.
void give_to_unprivileged_user(const std::string& path);

// In a child, just before the tool starts: leaves every group and becomes unprivileged_id(), when
// possible. Ends the child with 125 when that fails half way.
void drop_privileges();

// The names in `folder` but "." and "..", sorted.
std::vector<std::string> folder_entries(const std::string& folder);

// What `jq -j FILTER` prints for `json` (a filter without single quotes). Fails the test when
// jq does not read the document.
std::string jq(const std::string& filter, const std::string& json);

// Why `json` is not a document of the JSON Schema the tool installs (a real validator's words:
// Python's jsonschema), or "" when it is one.
std::string schema_fault(const std::string& json);

// Why a line of the batch manifest `jsonl` is not one of its JSON Schema (naming the line), or ""
// when every line is one.
std::string manifest_fault(const std::string& jsonl);

// Whether `json` is a single JSON document read under the strictest rules: Python's json module
// on the text decoded as UTF-8 that must be well-formed.
bool strict_json(const std::string& json);
