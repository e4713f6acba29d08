// The input is a configuration file; whatever it holds, the record read from it stays sound.
#include "cli/config_file.h"
#include "fuzz/record_invariants.h"

#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy with a spare byte, so an empty file has a buffer too; the explicit size lets NUL
  // bytes and a missing last line end reach the reader as they are.
  std::vector<char> file_bytes(data, data + size);
  file_bytes.push_back('\0');
  std::FILE* stream = fmemopen(file_bytes.data(), size, "r");
  FUZZ_CHECK(stream != nullptr);

  dmi_record record;
  dmi_record_init(record);
  const config_result result = parse_config_file(record, stream).result;
  std::fclose(stream);

  FUZZ_CHECK(result != config_result::read_error);
  FUZZ_CHECK(dmi_record_marker(record) == 0);
  check_record_invariants(record);
  check_no_control_bytes(record);
  print_to_nowhere(record);
  return 0;
}
