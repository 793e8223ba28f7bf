// Fuzz target: any bytes as an XML file, asked every question the agent asks of package
// descriptors and tool result files. No query may crash, leak or write past its buffers.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "xmlsub/qmagentsub.h"

namespace {

int quiet_log(const char*, const char*, int, const char*, ...) {
  return 0;
}

std::string g_file;

// Small outputs so that cutting is exercised on almost every value.
constexpr int kOut = 8;

void check(const char* out, int size) {
  if (std::memchr(out, '\0', static_cast<size_t>(size)) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QMA_XML_InitParser();
  const char* dir = std::getenv("TMPDIR");
  g_file = std::string(dir != nullptr ? dir : "/tmp") + "/qma-fuzz-filequery-" +
           std::to_string(std::random_device{}()) + ".xml";
  std::atexit([] { std::remove(g_file.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  FILE* f = std::fopen(g_file.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
  const char* file = g_file.c_str();

  const char* version_path[] = {"quillmend_package", "version", ""};
  const char* result_path[] = {"Response", "result_code", ""};
  const char* ext_path[] = {"Response", "extension", ""};
  const char* first_option[] = {"Response", "extension", "option", ""};
  const char* next_option[] = {"option", ""};
  const char* os_path[] = {"quillmend_package", "os_list", "os", ""};
  const char* cmd_path[] = {"quillmend_package", "os_list", "os", "command", ""};
  const char* os_names[] = {"major", "minor", "arch", ""};
  const char* os_values[] = {"6.1", "1", "x64", ""};
  const char* exe_names[] = {"exe", ""};
  const char* opt_select[] = {"quillmend_package", "versions", "option", ""};
  const char* opt_value[] = {"", "", "", "version", ""};

  char a[kOut];
  char b[kOut];
  QMA_XML_CheckElementForFile(quiet_log, file, ext_path);
  if (QMA_XML_GetElementValueForFile(quiet_log, file, version_path, a, kOut)) check(a, kOut);
  if (QMA_XML_GetElementValueForFile(quiet_log, file, result_path, a, kOut)) check(a, kOut);
  if (QMA_XML_GetAttributeValueForFile(quiet_log, file, first_option, "id", 2, a, kOut)) {
    check(a, kOut);
  }
  if (QMA_XML_GetElemValueForFile_WithAttr(quiet_log, file, opt_select, opt_value, "id", "A", a,
                                           kOut)) {
    check(a, kOut);
  }
  if (QMA_XML_GetAttrValueForFile_WithAttrs(quiet_log, file, os_path, cmd_path, os_names, os_values,
                                            exe_names, a, kOut)) {
    check(a, kOut);
  }
  a[0] = b[0] = '\0';
  QMA_XML_GetStatusMsg(quiet_log, file, "601", a, kOut, b, kOut);
  check(a, kOut);
  check(b, kOut);
  QMA_XML_GetModuleName(quiet_log, file, "module_name", a, kOut, b, kOut);

  int count = 0;
  QMA_XML_GetAttrValueForFile_WithID(quiet_log, file, first_option, next_option, "id", 1, nullptr,
                                     0, &count);
  char list[3][kOut];
  int capacity = 3;
  QMA_XML_GetAttrValueForFile_WithID(quiet_log, file, first_option, next_option, "id", 1,
                                     &list[0][0], kOut, &capacity);
  if (capacity < 0 || capacity > 3) std::abort();
  for (int i = 0; i < capacity; ++i) check(list[i], kOut);
  return 0;
}
