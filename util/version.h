// The tool's version, as --version, the JSON document and the journal give it.
#pragma once

// The build gives the project's version; a compile outside it (a syntax check) names none.
#ifndef VEK_SMBIOS_UTIL_VERSION
#define VEK_SMBIOS_UTIL_VERSION "unknown"
#endif

// The project's version, e.g. "1.0.0".
constexpr const char* tool_version() {
  return VEK_SMBIOS_UTIL_VERSION;
}
