// Opening the driver library and finding its entry points: dlopen and
// symbol names on Linux, LoadLibrary and the ordinals of the driver's
// export list (driver/TorqaODBC.def) on Windows. Paths and messages are
// UTF-8 on both.
#pragma once

#include <string>

namespace torqa::detail::driver_library {

/// The driver's file name: libTorqaODBC.so, or TorqaODBC.dll on Windows.
extern const char* const file_name;

/// The value of environment variable `name`, empty when unset.
std::string environment(const char* name);

/// The path of `file` in the directory of this library; empty when unknown.
std::string beside_self(const char* file);

/// Opens the library at `path` (a bare name: the system's search), or returns
/// nullptr and sets `error` to the system's reason.
void* open(const std::string& path, std::string& error);

/// The entry point `name`, or nullptr. On Windows a name of the driver's
/// export list is found by its ordinal, any other by name.
void* entry_point(void* library, const char* name);

void close(void* library);

}  // namespace torqa::detail::driver_library
