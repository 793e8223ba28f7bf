// Host facts: name through Winsock, the kernel's own version record, SKU, bitness (Windows
// backend).
//
// This folder is the only place that may include OS headers. Nothing here logs.
#include "platform/host.h"

#include <string>

#include "platform/error.h"
#include "platform/win32/wide.h"
#include "platform/win32/winsock.h"

namespace qma::platform {

namespace {

using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOEXW*);
using GetProductInfoCall = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*);
using IsWow64ProcessCall = BOOL(WINAPI*)(HANDLE, BOOL*);

/// An entry point of a system library that is always loaded, or nullptr where this Windows
/// lacks it. Taken by name so that the program still starts on systems without it.
template <typename Call>
Call system_entry(const wchar_t* library, const char* name) {
  HMODULE module = ::GetModuleHandleW(library);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

Result<std::string> host_name() {
  if (int error = win32::start_winsock(); error != 0) {
    set_last_error(error);
    return Result<std::string>::failure(error);
  }
  // 256 bytes hold any name the call returns.
  char name[256] = {};
  if (::gethostname(name, static_cast<int>(sizeof name)) != 0) {
    const int error = ::WSAGetLastError();
    set_last_error(error);
    return Result<std::string>::failure(error);
  }
  // The name comes in the ANSI code page; the program speaks UTF-8.
  const int length = ::MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (length <= 1) return std::string(name);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return win32::narrow(wide);
}

Result<OsVersionInfo> os_version() {
  // The kernel's own record: GetVersionEx answers what the program's manifest claims to
  // know, not the running version.
  auto get_version = system_entry<RtlGetVersionCall>(L"ntdll.dll", "RtlGetVersion");
  OSVERSIONINFOEXW record{};
  record.dwOSVersionInfoSize = sizeof record;
  if (get_version == nullptr) {
    const int error = win32::record_last_error();
    return Result<OsVersionInfo>::failure(error);
  }
  const LONG status = get_version(&record);
  if (status != 0) {
    // An NTSTATUS; the system's own translation gives the Win32 error number.
    using RtlNtStatusToDosErrorCall = ULONG(WINAPI*)(LONG);
    auto translate = system_entry<RtlNtStatusToDosErrorCall>(L"ntdll.dll", "RtlNtStatusToDosError");
    const int error =
        translate != nullptr ? static_cast<int>(translate(status)) : ERROR_GEN_FAILURE;
    set_last_error(error);
    return Result<OsVersionInfo>::failure(error);
  }
  OsVersionInfo info;
  info.major = record.dwMajorVersion;
  info.minor = record.dwMinorVersion;
  info.build = record.dwBuildNumber;
  info.platform_id = record.dwPlatformId;
  info.service_pack_major = record.wServicePackMajor;
  info.service_pack_minor = record.wServicePackMinor;
  info.suite_mask = record.wSuiteMask;
  info.product_type = record.wProductType;
  return info;
}

bool os_is_64bit() {
  // A 64-bit program runs only on a 64-bit system; a 32-bit one asks whether it runs
  // under the 32-bit layer of a 64-bit system.
  if constexpr (sizeof(void*) == 8) {
    return true;
  } else {
    auto is_wow64 = system_entry<IsWow64ProcessCall>(L"kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    return is_wow64 != nullptr && is_wow64(::GetCurrentProcess(), &wow64) && wow64;
  }
}

int os_product_sku() {
  auto version = os_version();
  if (!version.ok()) return 0;
  // Before version 6 there is no such call and no SKU.
  auto product_info = system_entry<GetProductInfoCall>(L"kernel32.dll", "GetProductInfo");
  if (product_info == nullptr) return 0;
  DWORD type = 0;
  if (!product_info(version->major, version->minor, version->service_pack_major,
                    version->service_pack_minor, &type)) {
    return 0;
  }
  return static_cast<int>(type);
}

bool os_is_server_r2() {
  return ::GetSystemMetrics(SM_SERVERR2) != 0;
}

}  // namespace qma::platform
