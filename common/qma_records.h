// Records shared by the agent and the XML query library: the command information table and the
// agent settings. Both sides compile this one declaration, so the text widths match byte for byte.
#pragma once

#include <stdint.h>  // NOLINT(modernize-deprecated-headers): also read by C-style callers

// Widths of the text fields, terminator included. Every copy into a field is cut to the width
// minus one and terminated.
#define QMA_LEN_SHORT 16
#define QMA_LEN_MODE 32
#define QMA_LEN_OPTION 128
#define QMA_LEN_PATH 260
#define QMA_LEN_PRODUCT_TYPE 340
#define QMA_LEN_TOOL_LOG 1024

#ifdef __cplusplus
extern "C" {
#endif

// Defined by the OS information and get-version code; only referenced here.
struct QMA_SYSTEM_INFO;
struct ModuleVersionEntry;

/// The data part of a request: the fields below QMMMessage/QMMData.
struct QMMData {
  char ModuleID[QMA_LEN_SHORT];
  char PackageID[QMA_LEN_PATH];
  char Mode[QMA_LEN_MODE];
  char ReplyToAddress[QMA_LEN_MODE];
  char ReplyToPort[QMA_LEN_SHORT];
  char FileName[QMA_LEN_PATH];
  char OptionID[QMA_LEN_OPTION];
};

/// The request part of a command information table, filled by the request parser.
struct ReqInfo {
  char MessageVersion[QMA_LEN_SHORT];
  char MessageID[QMA_LEN_SHORT];
  char CommandCode[QMA_LEN_SHORT];
  struct QMMData QMMData;
};

/// The answer part of a command information table, filled by the command handlers and read by
/// the response builder. Names follow the response elements and attributes.
struct ResInfo {
  char InReplyTo[QMA_LEN_SHORT];
  char CommandCode[QMA_LEN_SHORT];
  char Status[QMA_LEN_SHORT];
  char AgentStatus[QMA_LEN_SHORT];
  char AgentVersion[QMA_LEN_PATH];
  char HostName[QMA_LEN_PATH];
  char major[QMA_LEN_SHORT];
  char minor[QMA_LEN_SHORT];
  char sp_major[QMA_LEN_SHORT];
  char sp_minor[QMA_LEN_SHORT];
  char arch[QMA_LEN_SHORT];
  char refid[QMA_LEN_SHORT];
  char product_type[QMA_LEN_PRODUCT_TYPE];
  char OSName[QMA_LEN_PATH];
  char model_name[QMA_LEN_PATH];
  char parent_n_code[QMA_LEN_PATH];
  char child_n_code[QMA_LEN_PATH];
  char Guid[QMA_LEN_PATH];
  char Serial[QMA_LEN_PATH];
  int32_t ModuleCount;
  // Owned; freed by the response builder's writing pass, otherwise by the request thread.
  struct ModuleVersionEntry* ModuleList;
  char CurrentVersion[QMA_LEN_PATH];
  char ExVersion[QMA_LEN_PATH];
  char ToolOutputLogJa[QMA_LEN_TOOL_LOG];
  char ToolOutputLogEn[QMA_LEN_TOOL_LOG];
  char Progress[QMA_LEN_SHORT];
  char FileName[QMA_LEN_PATH];
  char OptionEcho[QMA_LEN_OPTION];
};

/// Command information table: one per request, allocated zeroed by the worker thread and freed
/// by the request thread.
struct CMDTbl {
  struct ReqInfo ReqInfo;
  struct ResInfo ResInfo;
};

/// The agent's process-wide settings, in declaration order.
struct QMAConfig {
  int32_t ExAgentEffect;                   // previous agent enabled flag (ExConfig)
  int32_t ExLogMaxNum;                     // previous max lines (ExConfig)
  char ExLogSavePath[QMA_LEN_PATH];        // previous log directory (ExConfig)
  char ExPkgSavePath[QMA_LEN_PATH];        // previous package root (ExConfig)
  int32_t AgentEffect;                     // agent enabled flag
  uint32_t LogMaxNum;                      // lines per agent log file, clamped
  char LogSavePath[QMA_LEN_PATH];          // log directory in effect
  char PkgSavePath[QMA_LEN_PATH];          // package root in effect
  char AgentVersion[QMA_LEN_PATH];         // from QMAgent.xml, default "3.1"
  char SavedReplyToAddress[QMA_LEN_MODE];  // written by the request parser for updates
  char SavedReplyToPort[QMA_LEN_SHORT];    // written by the request parser for updates
  struct QMA_SYSTEM_INFO* SystemInfo;      // filled once the OS information is collected
};

#ifdef __cplusplus
}  // extern "C"
#endif
