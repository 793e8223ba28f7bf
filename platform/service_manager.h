// The service control manager: install, start, stop, query and remove services, and the
// service's own side (dispatcher, control handler, status reports).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/result.h"

namespace qma::platform {

/// Windows numbers of the service facility, as the agent's logs and tests use them.
inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kServiceAutoStart = 2;
inline constexpr uint32_t kServiceDemandStart = 3;
inline constexpr uint32_t kServiceErrorNormal = 1;

inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;

inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlPause = 2;
inline constexpr uint32_t kServiceControlContinue = 3;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceControlShutdown = 5;

inline constexpr uint32_t kServiceAcceptStop = 1;
inline constexpr uint32_t kServiceAcceptPauseContinue = 2;
inline constexpr uint32_t kServiceAcceptShutdown = 4;

/// Error numbers of the service facility beyond those in error.h.
inline constexpr int kErrorInvalidServiceControl = 1052;
inline constexpr int kErrorServiceRequestTimeout = 1053;
inline constexpr int kErrorServiceAlreadyRunning = 1056;
inline constexpr int kErrorServiceCannotAcceptCtrl = 1061;
/// A service that stopped because of its own failure reports this exit code,
/// with its own number in service_specific_exit_code.
inline constexpr int kErrorServiceSpecificError = 1066;
inline constexpr int kErrorProcessAborted = 1067;
inline constexpr int kErrorServiceMarkedForDelete = 1072;

/// The status record a service reports and a query returns.
struct ServiceStatus {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

/// What an installation records about a service.
struct ServiceDefinition {
  std::string name;  ///< key of the service database
  std::string display_name;
  uint32_t service_type = kServiceWin32OwnProcess;
  uint32_t start_type = kServiceDemandStart;
  uint32_t error_control = kServiceErrorNormal;
  std::string image_path;  ///< command line started for the service (program in quotes)
  std::string
      failure_command;  ///< command line run when the service ends without reporting stopped
  /// Start arguments of the last start (shown by queries).
  std::vector<std::string> last_start_arguments;
};

/// The failure actions a service is given: the command, run at once, the only action.
struct FailureActionRecord {
  struct Action {
    uint32_t type = 0;  ///< 3: run the command
    uint32_t delay_ms = 0;
  };
  uint32_t reset_period_s = 0;
  std::string reboot_message;
  std::string command;
  std::vector<Action> actions;
};
inline constexpr uint32_t kScActionRunCommand = 3;
/// The record set_failure_command hands the Windows service manager.
inline FailureActionRecord failure_action_record(std::string_view command_line) {
  FailureActionRecord record;
  record.command = std::string(command_line);
  record.actions.push_back({kScActionRunCommand, 0});
  return record;
}

/// One installed service, opened through a ServiceManager.
class Service {
 public:
  virtual ~Service() = default;
  /// The last status the service reported; stopped when it is not running.
  [[nodiscard]] virtual Result<ServiceStatus> query_status() = 0;
  /// Starts the service with these start arguments (given to its main after the
  /// service name). Fails with kErrorServiceAlreadyRunning unless stopped.
  [[nodiscard]] virtual Status start(const std::vector<std::string>& arguments) = 0;
  /// Hands a control to the service's handler and returns the status after it.
  /// Fails with kErrorServiceNotActive when stopped, kErrorServiceCannotAcceptCtrl
  /// while start or stop is pending, kErrorInvalidServiceControl when the service
  /// does not accept the control.
  [[nodiscard]] virtual Result<ServiceStatus> control(uint32_t control) = 0;
  /// Sets the command run when the service fails (one run-command action, no delay).
  [[nodiscard]] virtual Status set_failure_command(std::string_view command_line) = 0;
  /// Deletes the service; a running one is removed when it stops.
  [[nodiscard]] virtual Status remove() = 0;
  /// The recorded definition.
  [[nodiscard]] virtual Result<ServiceDefinition> definition() = 0;
};

/// The service manager of this host.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  /// systemd when systemd runs the host (/run/systemd/system exists) and QMA_SCM
  /// is not "standalone", or when QMA_SCM is "systemd"; the standalone manager
  /// (database in $QMA_STATE_DIR/scm/) otherwise.
  [[nodiscard]] static Result<std::unique_ptr<ServiceManager>> open();
  /// "standalone" or "systemd". On Windows: "scm", the system's own manager; with
  /// QMA_STATE_DIR set, service names get "." and a tag of that folder appended, so
  /// installations of different state folders never meet (definition() shows the full name).
  virtual std::string_view backend_name() const = 0;
  /// Records a new service; fails with kErrorServiceExists when the name is taken
  /// (kErrorServiceMarkedForDelete while a deleted one still runs). The values of
  /// AXIS2C_HOME, QMA_STATE_DIR and QMA_HOST_ROOT are recorded and given to the
  /// service when it starts.
  [[nodiscard]] virtual Result<std::unique_ptr<Service>> create_service(
      const ServiceDefinition& definition) = 0;
  /// Opens an installed service; fails with kErrorServiceDoesNotExist.
  [[nodiscard]] virtual Result<std::unique_ptr<Service>> open_service(std::string_view name) = 0;
};

/// The main function of a service: argument 0 is the service name, then the start arguments.
using ServiceMainFunction = void (*)(uint32_t argc, char** argv);
/// The control handler: control, event type, event data, context; returns an error number.
using ServiceHandlerFunction = uint32_t (*)(uint32_t control, uint32_t event_type, void* event_data,
                                            void* context);

/// Handle through which a running service reports its status.
struct ServiceStatusTarget;
using ServiceStatusHandle = ServiceStatusTarget*;

/// True when a service manager started this process as a service (the dispatcher
/// will connect), false for a program started from a console. Asked before the
/// dispatcher runs, which consumes the marks it looks at.
bool started_as_service();

/// Forgets the start arguments this process was started with as a service, so that a start
/// its service manager makes by itself later (a restart under systemd) runs without them; the
/// running main keeps its own. Nothing to do in a process no manager started, or under the
/// standalone manager, where every start names its own arguments.
[[nodiscard]] Status forget_start_arguments();

/// Runs the service main on a thread of its own and delivers controls to the
/// registered handler on the calling thread until the main returns. Fails with
/// kErrorFailedServiceControllerConnect when this process was not started as
/// that service by a service manager (for example from a console).
[[nodiscard]] Status run_service_dispatcher(std::string_view service_name,
                                            ServiceMainFunction main);
/// Registers the control handler of the service this process runs.
[[nodiscard]] Result<ServiceStatusHandle> register_service_handler(std::string_view service_name,
                                                                   ServiceHandlerFunction handler,
                                                                   void* context);
/// Reports the service's status to its manager.
[[nodiscard]] Status set_service_status(ServiceStatusHandle handle, const ServiceStatus& status);

/// The full path of the running program file.
[[nodiscard]] Result<std::string> current_program_path();

/// Entry of the standalone manager's supervisor program (qmasvchost): supervises
/// one service run, or answers "query NAME" for an administrator. Returns the
/// process exit code. On Windows: there is no supervisor; returns 1.
int service_host_main(int argc, char** argv);

}  // namespace qma::platform
