#include "transport/driver_library.h"

#ifdef _WIN32
#include <windows.h>

#include <cstring>
#include <cwchar>
#else
#include <dlfcn.h>

#include <cstdlib>
#endif

namespace torqa::detail::driver_library {
namespace {

// A function of this library, whose address tells where the library lies.
void locate_self() {}

}  // namespace

#ifdef _WIN32

const char* const file_name = "TorqaODBC.dll";

namespace {

std::wstring to_wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string to_utf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

// The system's text for error `code`, without its line end.
std::string system_message(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = to_utf8(text, n);
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(code) : message;
}

// The driver's numbered exports, as listed in driver/TorqaODBC.def.
struct numbered {
  const char* name;
  WORD ordinal;
};
constexpr numbered ordinals[] = {
    {"SQLAllocConnect", 1},   {"SQLAllocEnv", 2},         {"SQLAllocStmt", 3},      {"SQLDescribeCol", 8},
    {"SQLExecute", 12},       {"SQLFetch", 13},           {"SQLFreeConnect", 14},   {"SQLFreeEnv", 15},
    {"SQLFreeStmt", 16},      {"SQLNumResultCols", 18},   {"SQLPrepare", 19},       {"SQLGetData", 43},
    {"SQLDescribeParam", 58}, {"SQLNumParams", 63},       {"SQLBindParameter", 72}, {"DrvOpenChannel", 110},
    {"DrvCloseChannel", 111}, {"DrvNextChunk", 112},      {"DrvBeginMessage", 113}, {"DrvReadChunk", 114},
    {"DrvSendMessage", 115},  {"DrvSrvToMb", 202},        {"DrvUniToMb", 203},      {"DrvMbToUni", 204},
    {"DrvConnect", 206}};

}  // namespace

std::string environment(const char* name) {
  const wchar_t* value = _wgetenv(to_wide(name).c_str());
  return value ? to_utf8(value, std::wcslen(value)) : std::string();
}

std::string beside_self(const char* file) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&locate_self), &self))
    return {};
  // The path may be longer than MAX_PATH: grow until it fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const auto separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  return to_utf8(path.data(), separator + 1) + file;
}

void* open(const std::string& path, std::string& error) {
  // No dialog box for a missing file or a bad image: the caller reports it.
  DWORD previous = 0;
  const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE library = LoadLibraryW(to_wide(path).c_str());
  const DWORD code = GetLastError();
  if (quiet) SetThreadErrorMode(previous, nullptr);
  if (library == nullptr) error = system_message(code);
  return reinterpret_cast<void*>(library);
}

void* entry_point(void* library, const char* name) {
  const HMODULE module = static_cast<HMODULE>(library);
  for (const numbered& n : ordinals)
    if (std::strcmp(n.name, name) == 0) return reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(n.ordinal)));
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

void close(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

#else

const char* const file_name = "libTorqaODBC.so";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string beside_self(const char* file) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&locate_self), &info) == 0 || info.dli_fname == nullptr) return {};
  const std::string self = info.dli_fname;
  const auto slash = self.rfind('/');
  if (slash == std::string::npos) return {};
  return self.substr(0, slash + 1) + file;
}

void* open(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* text = dlerror();
    error = text ? text : "unknown error";
  }
  return library;
}

void* entry_point(void* library, const char* name) { return dlsym(library, name); }

void close(void* library) { dlclose(library); }

#endif

}  // namespace torqa::detail::driver_library
