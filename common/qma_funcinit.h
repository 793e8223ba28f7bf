// Run-time binding of the XML query library QMAgentSub and of the XML reader library.
#pragma once

#include "xmlsub/qmagentsub.h"

/// The exports of QMAgentSub as the agent calls them, bound by QMA_FuncInit. They stay bound
/// for the agent's whole life.
struct QMAgentSubEntries {
  QMA_XML_InitParser_FUNC* QMA_XML_InitParser;
  QMA_XML_CleanupParser_FUNC* QMA_XML_CleanupParser;
  QMA_XML_GetManagerRequestInfo_FUNC* QMA_XML_GetManagerRequestInfo;
  QMA_XML_GetElementValueForFile_FUNC* QMA_XML_GetElementValueForFile;
  QMA_XML_GetElemValueForFile_WithAttr_FUNC* QMA_XML_GetElemValueForFile_WithAttr;
  QMA_XML_GetAttributeValueForFile_FUNC* QMA_XML_GetAttributeValueForFile;
  QMA_XML_GetAttrValueForFile_WithID_FUNC* QMA_XML_GetAttrValueForFile_WithID;
  QMA_XML_GetAttrValueForFile_WithAttrs_FUNC* QMA_XML_GetAttrValueForFile_WithAttrs;
  QMA_XML_GetStatusMsg_FUNC* QMA_XML_GetStatusMsg;
  QMA_XML_GetModuleName_FUNC* QMA_XML_GetModuleName;
  QMA_XML_CheckElementForFile_FUNC* QMA_XML_CheckElementForFile;
};

/// The bound exports; all null until QMA_FuncInit succeeds, e.g.
/// `g_QMAgentSub.QMA_XML_GetStatusMsg(QMA_LogError, file, code, ja, sizeof ja, en, sizeof en)`.
extern QMAgentSubEntries g_QMAgentSub;

/// Loads QMAgentSub by name (the platform layer names its file) through the library search path,
/// binds its eleven exports, then binds the XML reader library. 0 when everything is bound,
/// -1 at the first thing missing. Logs nothing; neither library is unloaded afterwards.
int QMA_FuncInit(void);
