// QMA_FuncInit: binding the XML query library and the XML reader library by name at start-up.
#include "common/cmn/qmcmn.h"
#include "common/qma_funcinit.h"
#include "platform/dynlib.h"

QMAgentSubEntries g_QMAgentSub = {};

namespace {

using qma::platform::kXmlSubLibraryName;

template <typename T>
bool bind(const qma::platform::DynamicLibrary& library, const char* name, T*& entry) {
  entry = reinterpret_cast<T*>(library.symbol(name));
  return entry != nullptr;
}

}  // namespace

int QMA_FuncInit(void) {
  // By name through the search path (the installed programs' run path is their own folder);
  // then the program's folder itself, which a sanitizer's loader interception can hide from a
  // load by name.
  auto loaded = qma::platform::DynamicLibrary::load(kXmlSubLibraryName);
  if (!loaded) loaded = qma::platform::DynamicLibrary::load_from_program_folder(kXmlSubLibraryName);
  if (!loaded) return -1;
  qma::platform::DynamicLibrary& library = loaded.value();
  // The library stays loaded for the life of the process, whatever happens below.
  QMAgentSubEntries entries = {};
  const bool bound =
      bind(library, "QMA_XML_InitParser", entries.QMA_XML_InitParser) &&
      bind(library, "QMA_XML_CleanupParser", entries.QMA_XML_CleanupParser) &&
      bind(library, "QMA_XML_GetManagerRequestInfo", entries.QMA_XML_GetManagerRequestInfo) &&
      bind(library, "QMA_XML_GetElementValueForFile", entries.QMA_XML_GetElementValueForFile) &&
      bind(library, "QMA_XML_GetElemValueForFile_WithAttr",
           entries.QMA_XML_GetElemValueForFile_WithAttr) &&
      bind(library, "QMA_XML_GetAttributeValueForFile", entries.QMA_XML_GetAttributeValueForFile) &&
      bind(library, "QMA_XML_GetAttrValueForFile_WithID",
           entries.QMA_XML_GetAttrValueForFile_WithID) &&
      bind(library, "QMA_XML_GetAttrValueForFile_WithAttrs",
           entries.QMA_XML_GetAttrValueForFile_WithAttrs) &&
      bind(library, "QMA_XML_GetStatusMsg", entries.QMA_XML_GetStatusMsg) &&
      bind(library, "QMA_XML_GetModuleName", entries.QMA_XML_GetModuleName) &&
      bind(library, "QMA_XML_CheckElementForFile", entries.QMA_XML_CheckElementForFile);
  library.release();
  if (!bound) return -1;
  g_QMAgentSub = entries;
  return QMCmnLoadXmlLibrary();
}
