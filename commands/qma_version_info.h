// The get-version result table: one entry per module, with its option versions.
#pragma once

#include <stdint.h>  // NOLINT(modernize-deprecated-headers)

#include "common/qma_records.h"

extern "C" {

/// One option of a module in a get-version answer.
struct OptionVersionEntry {
  char OptionID[QMA_LEN_OPTION];
  char ModuleStatus[QMA_LEN_SHORT];
  char Compare[QMA_LEN_SHORT];
  char CurrentVersion[QMA_LEN_PATH];
  char ExVersion[QMA_LEN_PATH];
  char ExExVersion[QMA_LEN_PATH];
};

/// The option part of a module entry. Allocated with calloc; Options is a calloc'd
/// array of OptionCount entries. Both are released with free.
struct VersionExtInfo {
  char ModuleNameWithIdJa[QMA_LEN_PATH];
  char ModuleNameWithIdEn[QMA_LEN_PATH];
  int32_t OptionCount;
  struct OptionVersionEntry* Options;
};

/// One module of the get-version result table. The table is one calloc'd array of
/// these; it and every entry's ExtInfo belong to the CMDTbl that holds it.
struct ModuleVersionEntry {
  char CommandLine[QMA_LEN_PATH];
  char ModuleID[QMA_LEN_SHORT];
  char ModuleNameJa[QMA_LEN_PATH];
  char ModuleNameEn[QMA_LEN_PATH];
  char ModuleStatus[QMA_LEN_SHORT];
  char CurrentVersion[QMA_LEN_PATH];
  char ExVersion[QMA_LEN_PATH];
  char ExExVersion[QMA_LEN_PATH];
  char PackageID[QMA_LEN_PATH];
  char Compare[QMA_LEN_SHORT];
  char ToolOutputLogJa[QMA_LEN_TOOL_LOG];
  char ToolOutputLogEn[QMA_LEN_TOOL_LOG];
  struct VersionExtInfo* ExtInfo;
};
}
