// QMAGetVersion: the agent package's own update tool in "get_version" mode. Compares the
// version the package in the current folder carries with the installed agent's version and
// leaves the answer in Get_version.xml in the current folder. Prints nothing, reads no
// arguments.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/cmn/qmcmn.h"
#include "tools/getversion/version_compare.h"

namespace {

constexpr const char* kDescriptor = "QuillInfo.xml";
constexpr const char* kResultFile = "Get_version.xml";
constexpr const char* kAgentDescriptorTail = "/bin/AgentFolder/QMAgent/QMAgent.xml";
constexpr const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5D2E8C41-7A36-4F1B-9C07-3E6B1A94D2F8}";
constexpr const char* kResultOk = "OK";
constexpr const char* kResultFailed = "QMAWGetv01";
constexpr size_t kPathSize = 260;
// Each piece of the result file counts with at most this many characters.
constexpr size_t kPieceMax = 1025;

// The three result buffers, cleared together at start.
struct Result {
  char code[257];
  char compare[17];
  char installed[257];
};
static_assert(sizeof(Result) == 531);

bool read_package_version(char* version, size_t size) {
  const char* path[] = {"quillmend_package", "version", nullptr};
  return QMCmnXmlGetElementValue(kDescriptor, path, nullptr, nullptr, version, size) == 0;
}

// The installed agent's own descriptor first, the installer's uninstall record second.
bool read_installed_version(char* version, size_t size) {
  // An empty AXIS2C_HOME names no folder: the descriptor path would start at the root.
  if (const char* home = std::getenv("AXIS2C_HOME"); home != nullptr && *home != '\0') {
    char file[kPathSize] = {};
    QMCmnStrnCpy(file, home, sizeof file);
    QMCmnStrnCat(file, kAgentDescriptorTail, sizeof file);
    const char* path[] = {"service", "version", nullptr};
    if (QMCmnXmlGetElementValue(file, path, nullptr, nullptr, version, size) == 0) return true;
  }
  char* value = nullptr;
  uint32_t value_size = 0;
  if (QMCmnRegGetValue(kUninstallKey, "DisplayVersion", nullptr, 0, nullptr, 1, &value,
                       &value_size) != 0) {
    return false;
  }
  QMCmnStrnCpy(version, value, size);
  QMCmnFree(value);
  return true;
}

// Runs the pieces of the result file through `put`, in order.
template <typename Put>
void result_pieces(const Result& result, Put&& put) {
  put("<?xml version='1.0' encoding='UTF-8'?>");
  put("<Response>");
  put("<result_code>");
  put(result.code);
  put("</result_code>");
  put("<data>");
  if (std::strcmp(result.code, kResultOk) == 0) {
    put("<cmp>");
    put(result.compare);
    put("</cmp>");
    put("<version>");
    put(result.installed);
    put("</version>");
  }
  put("</data>");
  put("</Response>");
}

// One line without a line break or terminator. A file that cannot be made is left unwritten.
void write_result(const Result& result) {
  size_t size = 1;
  result_pieces(result, [&size](const char* piece) { size += QMCmnStrnLen(piece, kPieceMax); });
  char* text = static_cast<char*>(std::calloc(size, 1));
  if (text == nullptr) return;
  result_pieces(result, [text, size](const char* piece) { QMCmnStrnCat(text, piece, size); });
  if (FILE* file = std::fopen(kResultFile, "w"); file != nullptr) {
    (void)std::fputs(text, file);
    (void)std::fclose(file);
  }
  std::free(text);
}

}  // namespace

int main() {
  Result result;
  std::memset(&result, 0, sizeof result);
  if (QMCmnLoadXmlLibrary() != 0) {
    QMCmnXmlCleanupParser();
    (void)QMCmnFreeXmlLibrary();
    return -1;
  }
  QMCmnXmlInitParser();

  bool ok = false;
  char package_version[257] = {};
  if (read_package_version(package_version, sizeof package_version)) {
    ok = read_installed_version(result.installed, sizeof result.installed);
  }
  if (ok) {
    int order = qma::getversion::compare_versions(package_version, result.installed);
    QMCmnStrnCpy(result.compare,
                 order > 0    ? "Upper"
                 : order == 0 ? "Even"
                              : "Lower",
                 sizeof result.compare);
  }
  QMCmnStrnCpy(result.code, ok ? kResultOk : kResultFailed, sizeof result.code);
  write_result(result);

  QMCmnXmlCleanupParser();
  return QMCmnFreeXmlLibrary() == 0 ? 0 : -1;
}
