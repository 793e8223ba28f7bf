// The service host: command line, service control, service main, configuration.
#pragma once

#include <cstdint>

#include "common/log/qma_log.h"
#include "platform/service_manager.h"

/// The service's name in the service manager, also the dispatcher's and the handler's.
inline constexpr const char* QMA_SERVICE_NAME = "Quillmend Agent";
/// Display names by system language.
inline constexpr const char* QMA_SERVICE_DISPNAME_JA = "Quillmend Agent";
inline constexpr const char* QMA_SERVICE_DISPNAME_EN = "Norvik Quillmend Agent";

// Command line and service control.
int QMA_service_reg();
int QMA_service_install(int automatic);
int QMA_service_uninstall();
void QMA_service_start();
int QMA_service_stop();
void QMA_service_usage(const char* program);
void QMA_setQmaPkgMode(int mode);
int QMA_getQmaPkgMode();
/// The command line of QMAgent; returns the process exit code: 1, or 2 after a
/// service run that stopped as a failure.
int QMA_main(int argc, char** argv);

// Service main and configuration.
void QMA_service_main(uint32_t argc, char** argv);
int QMA_Initialize();
int QMA_ReportStatus(uint32_t state, uint32_t check_point, uint32_t wait_hint);
uint32_t QMA_HandlerEx(uint32_t control, uint32_t event_type, void* event_data, void* context);

/// The process-wide service status record shared by the start routine and the service main.
extern qma::platform::ServiceStatus g_QMA_ServiceStatus;

namespace qma::service {

/// True when the system's default language is Japanese: LC_ALL, LC_MESSAGES or
/// LANG (first set wins) of etc/locale.conf or etc/default/locale under the host
/// root, else of the process environment, starts with "ja".
bool system_language_is_japanese();
/// The display name for the system language, cut to 31 characters.
const char* display_name();

/// Moves a directory for the relocation rule; tests replace it to fail on demand.
using MoveDirectoryFunction = int (*)(const char* from, const char* to);
void set_move_directory(MoveDirectoryFunction move);
MoveDirectoryFunction move_directory();

}  // namespace qma::service
