// The service manager on a host that systemd runs: a unit file per service, control
// through systemctl (found through PATH), status through the notify socket. OS headers
// are allowed here; nothing in this file logs.
//
// "Quillmend Agent" becomes quillmend-agent.service in $QMA_SYSTEMD_UNIT_DIR (default
// /etc/systemd/system). Start arguments travel in $QMA_SYSTEMD_RUN_DIR/UNIT.args
// (default /run/qmagent), which the unit reads as an environment file, so a start
// after a reboot runs without them.
//
// With QMA_SYSTEMD_SCOPE=user the services belong to the calling user's manager
// (systemctl --user): units in $XDG_CONFIG_HOME/systemd/user (else ~/.config/systemd/user),
// start arguments in $XDG_RUNTIME_DIR/qmagent, automatic start through default.target.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/posix/service_manager_internal.h"
#include "platform/process.h"

namespace qma::platform::svc {
namespace {

/// The variables of this backend that a unit records for the service it starts, so that
/// the service's own stop request reaches the same manager.
constexpr const char* kSystemdVariables[] = {"QMA_SYSTEMD_SCOPE", "QMA_SYSTEMD_UNIT_DIR",
                                             "QMA_SYSTEMD_RUN_DIR"};

/// The value of a variable, empty when unset.
std::string env_or_empty(const char* name) {
  return get_env(name).value_or("");
}

std::string unit_dir() {
  std::string dir = env_or_empty("QMA_SYSTEMD_UNIT_DIR");
  if (!dir.empty()) return dir;
  if (!systemd_user_scope()) return "/etc/systemd/system";
  std::string config = env_or_empty("XDG_CONFIG_HOME");
  if (config.empty()) config = join_path(env_or_empty("HOME"), ".config");
  return join_path(join_path(config, "systemd"), "user");
}

std::string run_dir() {
  std::string dir = env_or_empty("QMA_SYSTEMD_RUN_DIR");
  if (!dir.empty()) return dir;
  if (!systemd_user_scope()) return "/run/qmagent";
  std::string runtime = env_or_empty("XDG_RUNTIME_DIR");
  if (runtime.empty()) runtime = "/run/user/" + std::to_string(::getuid());
  return join_path(runtime, "qmagent");
}

/// Creates a folder and its missing parents (mode 0755); true when it exists afterwards.
bool make_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string unit_of(std::string_view name) {
  std::string unit;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '_' || c == '.') {
      unit += static_cast<char>(std::tolower(c));
    } else if (unit.empty() || unit.back() != '-') {
      unit += '-';
    }
  }
  return unit + ".service";
}

int systemctl(std::vector<std::string> args, std::string* output = nullptr) {
  return run_and_capture(systemctl_words(std::move(args)), output);
}

/// True for the active states of a unit: it runs, starts, reloads or stops.
bool running_state(const std::string& active) {
  return active == "active" || active == "activating" || active == "deactivating" ||
         active == "reloading";
}

/// Quotes a word for an Exec or Environment line of a unit file.
std::string unit_quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '$') {
      out += "$$";
      continue;
    }
    if (c == '%') {
      out += "%%";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

/// Same for the inside of a single-quoted /bin/sh -c argument.
std::string shell_command(const std::string& command_line) {
  auto args = split_command_line(command_line);
  std::string out;
  if (!args.empty() && args[0].size() > 3 && args[0].compare(args[0].size() - 3, 3, ".sh") == 0)
    out = "/bin/sh";
  for (const auto& arg : args) {
    std::string quoted = "\"";
    for (char c : arg) {
      if (c == '"' || c == '\\' || c == '`') quoted += '\\';
      if (c == '$') {
        quoted += "\\$$";
        continue;
      }
      if (c == '%') {
        quoted += "%%";
        continue;
      }
      if (c == '\'') {
        quoted += "'\"'\"'";
        continue;
      }
      quoted += c;
    }
    if (!out.empty()) out += ' ';
    out += quoted;
    out += '"';
  }
  return out;
}

std::string unit_text(const ServiceDefinition& def,
                      const std::map<std::string, std::string>& roots) {
  // Built by appending: a text prepended to a temporary string trips GCC 12's
  // restrict check at -O3 (a false overlap inside the library's insert).
  std::string env = unit_quote(std::string(kEnvServiceName) + "=" + def.name);
  env += ' ';
  env += unit_quote(std::string(kEnvBackend) + "=systemd");
  env += ' ';
  env += unit_quote("QMA_SCM=systemd");
  for (const auto& [name, value] : roots) {
    env += ' ';
    env += unit_quote(name + "=" + value);
  }
  std::string text;
  text += "# Written by the service installer of " + def.name + "; remove it with the installer.\n";
  text += "[Unit]\n";
  text += "Description=" + def.display_name + "\n";
  text += "X-QmaServiceName=" + def.name + "\n";
  text += "X-QmaServiceType=" + std::to_string(def.service_type) + "\n";
  text += "X-QmaStartType=" + std::to_string(def.start_type) + "\n";
  text += "X-QmaErrorControl=" + std::to_string(def.error_control) + "\n";
  text += "X-QmaImagePath=" + def.image_path + "\n";
  text += "X-QmaFailureCommand=" + def.failure_command + "\n";
  for (const auto& [name, value] : roots) text += "X-QmaRoot-" + name + "=" + value + "\n";
  // A crashed service is started again, but not for ever: after 3 starts within 60 seconds
  // systemd leaves it failed ("start-limit-hit" in its journal).
  text += "StartLimitIntervalSec=60\n";
  text += "StartLimitBurst=3\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "Environment=" + env + "\n";
  text += "EnvironmentFile=-" + join_path(run_dir(), unit_of(def.name) + ".args") + "\n";
  // The start arguments reach the service main through the environment file, never the
  // command line: the program's own command line means console commands.
  text += "ExecStart=" + def.image_path + "\n";
  // The program ends with exit code 1 after every run, also after it reported stopped; only
  // an end without that report (killed, crashed, or ended before it reported running) is a
  // failure, as the service manager on Windows judges it.
  text += "SuccessExitStatus=1\n";
  if (!def.failure_command.empty()) {
    // Runs after every stop; the command only when the service ended without
    // reporting stopped (killed, crashed, or failed in start).
    text += "ExecStopPost=/bin/sh -c 'if [ \"$$SERVICE_RESULT\" != success ]; then " +
            shell_command(def.failure_command) + "; fi'\n";
  }
  // Only a failure (the same ends as above) is restarted, never a reported stop.
  text += "Restart=on-failure\n";
  text += "RestartSec=1\n";
  text += "KillMode=process\n";
  text += "TimeoutStartSec=infinity\n";
  text += "\n[Install]\n";
  auto scope = roots.find("QMA_SYSTEMD_SCOPE");
  bool user = scope != roots.end() && scope->second == "user";
  text += user ? "WantedBy=default.target\n" : "WantedBy=multi-user.target\n";
  return text;
}

/// Reads the definition back from the X-Qma lines of a unit file.
std::optional<ServiceDefinition> parse_unit(const std::string& text,
                                            std::map<std::string, std::string>* roots) {
  auto values = parse_key_values(text);
  if (values.count("X-QmaServiceName") == 0) return std::nullopt;
  ServiceDefinition def;
  def.name = values["X-QmaServiceName"];
  def.display_name = values["Description"];
  def.service_type =
      static_cast<uint32_t>(std::strtoul(values["X-QmaServiceType"].c_str(), nullptr, 10));
  def.start_type =
      static_cast<uint32_t>(std::strtoul(values["X-QmaStartType"].c_str(), nullptr, 10));
  def.error_control =
      static_cast<uint32_t>(std::strtoul(values["X-QmaErrorControl"].c_str(), nullptr, 10));
  def.image_path = values["X-QmaImagePath"];
  def.failure_command = values["X-QmaFailureCommand"];
  if (roots != nullptr) {
    for (const auto& [key, value] : values) {
      if (key.rfind("X-QmaRoot-", 0) == 0) (*roots)[key.substr(10)] = value;
    }
  }
  return def;
}

}  // namespace

std::string systemd_start_arguments_path(std::string_view service_name) {
  return join_path(run_dir(), unit_of(service_name) + ".args");
}

namespace {

class SystemdService : public Service {
 public:
  explicit SystemdService(std::string name) : name_(std::move(name)), unit_(unit_of(name_)) {}

  std::string unit_path() const { return join_path(unit_dir(), unit_); }
  std::string args_path() const { return join_path(run_dir(), unit_ + ".args"); }
  bool file_exists() const { return ::access(unit_path().c_str(), F_OK) == 0; }
  /// A unit whose file was deleted while it ran stays with systemd until it stops: the
  /// service is marked for delete, as on the service manager this one stands in for.
  bool marked_for_delete() const {
    if (file_exists()) return false;
    std::string output;
    if (systemctl({"show", "-p", "ActiveState", unit_}, &output) != 0) return false;
    return running_state(parse_key_values(output)["ActiveState"]);
  }
  bool exists() const { return file_exists() || marked_for_delete(); }

  Result<ServiceStatus> query_status() override {
    bool file = file_exists();
    std::string output;
    int rc = systemctl({"show", "-p", "LoadState", "-p", "ActiveState", "-p", "StatusText", unit_},
                       &output);
    if (rc != 0) {
      return fail_with<ServiceStatus>(file ? kErrorServiceRequestTimeout
                                           : kErrorServiceDoesNotExist);
    }
    auto values = parse_key_values(output);
    const std::string& active = values["ActiveState"];
    if (!file && !running_state(active)) return fail_with<ServiceStatus>(kErrorServiceDoesNotExist);
    if (file && values["LoadState"] == "not-found")
      return fail_with<ServiceStatus>(kErrorServiceDoesNotExist);
    ServiceStatus status;
    status.service_type = kServiceWin32OwnProcess;
    if (active == "active" || active == "reloading") {
      status.current_state = kServiceRunning;
    } else if (active == "activating") {
      status.current_state = kServiceStartPending;
    } else if (active == "deactivating") {
      status.current_state = kServiceStopPending;
    } else {
      status.current_state = kServiceStopped;
      if (active == "failed") status.win32_exit_code = kErrorProcessAborted;
      return status;
    }
    // The last report of the service itself, when it gave one for the same state.
    const std::string& text = values["StatusText"];
    if (text.rfind("qma ", 0) == 0) {
      auto reported = parse_status(text.substr(4));
      if (reported && reported->current_state == status.current_state) return *reported;
    }
    if (status.current_state == kServiceRunning) {
      status.controls_accepted = kServiceAcceptStop;
    }
    return status;
  }

  Status start(const std::vector<std::string>& arguments) override {
    auto now = query_status();
    if (!now) return status_fail(now.error());
    if (now->current_state != kServiceStopped) return status_fail(kErrorServiceAlreadyRunning);
    std::string words;
    for (const auto& arg : arguments) {
      if (!words.empty()) words += ' ';
      words += arg;
    }
    if (!make_folders(run_dir())) return status_fail(errno);
    if (!write_whole(args_path(), std::string(kEnvStartArgs) + "=" + words + "\n"))
      return status_fail(errno);
    // A service that systemd gave up restarting is started by an explicit start all the same:
    // the start limit bounds the restarts after crashes, not the administrator.
    std::string output;
    systemctl({"show", "-p", "ActiveState", unit_}, &output);
    if (parse_key_values(output)["ActiveState"] == "failed") systemctl({"reset-failed", unit_});
    if (systemctl({"start", "--no-block", unit_}) != 0)
      return status_fail(kErrorServiceRequestTimeout);
    return Status::success();
  }

  Result<ServiceStatus> control(uint32_t control) override {
    auto now = query_status();
    if (!now) return now;
    if (now->current_state == kServiceStopped)
      return fail_with<ServiceStatus>(kErrorServiceNotActive);
    if (control == kServiceControlInterrogate) return now;
    if (now->current_state == kServiceStartPending || now->current_state == kServiceStopPending) {
      return fail_with<ServiceStatus>(kErrorServiceCannotAcceptCtrl);
    }
    if (control != kServiceControlStop || (now->controls_accepted & kServiceAcceptStop) == 0) {
      return fail_with<ServiceStatus>(kErrorInvalidServiceControl);
    }
    if (systemctl({"stop", "--no-block", unit_}) != 0)
      return fail_with<ServiceStatus>(kErrorServiceRequestTimeout);
    return query_status();
  }

  Status set_failure_command(std::string_view command_line) override {
    std::map<std::string, std::string> roots;
    auto def = parse_unit(read_whole(unit_path()).value_or(""), &roots);
    if (!def) return status_fail(kErrorServiceDoesNotExist);
    def->failure_command = std::string(command_line);
    if (!write_whole(unit_path(), unit_text(*def, roots))) return status_fail(errno);
    systemctl({"daemon-reload"});
    return Status::success();
  }

  Status remove() override {
    if (!file_exists()) {
      return status_fail(marked_for_delete() ? kErrorServiceMarkedForDelete
                                             : kErrorServiceDoesNotExist);
    }
    systemctl({"disable", unit_});
    if (::unlink(unit_path().c_str()) != 0) return status_fail(errno);
    ::unlink(args_path().c_str());
    // A unit that failed stays listed as failed until reset; a running one is kept by
    // systemd until it stops.
    std::string output;
    systemctl({"show", "-p", "ActiveState", unit_}, &output);
    if (parse_key_values(output)["ActiveState"] == "failed") systemctl({"reset-failed", unit_});
    systemctl({"daemon-reload"});
    return Status::success();
  }

  Result<ServiceDefinition> definition() override {
    auto def = parse_unit(read_whole(unit_path()).value_or(""), nullptr);
    if (!def) return fail_with<ServiceDefinition>(kErrorServiceDoesNotExist);
    auto values = parse_key_values(read_whole(args_path()).value_or(""));
    std::string words = values[kEnvStartArgs];
    size_t start = 0;
    while (start < words.size()) {
      size_t end = words.find(' ', start);
      if (end == std::string::npos) end = words.size();
      if (end > start) def->last_start_arguments.push_back(words.substr(start, end - start));
      start = end + 1;
    }
    return *def;
  }

 private:
  std::string name_;
  std::string unit_;
};

class SystemdManager : public ServiceManager {
 public:
  std::string_view backend_name() const override { return "systemd"; }

  Result<std::unique_ptr<Service>> create_service(const ServiceDefinition& def) override {
    if (def.name.empty()) return fail_with<std::unique_ptr<Service>>(EINVAL);
    auto service = std::make_unique<SystemdService>(def.name);
    if (service->file_exists()) return fail_with<std::unique_ptr<Service>>(kErrorServiceExists);
    if (service->marked_for_delete())
      return fail_with<std::unique_ptr<Service>>(kErrorServiceMarkedForDelete);
    std::map<std::string, std::string> roots;
    for (const char* variable : kRootVariables) {
      if (auto value = get_env(variable)) roots[variable] = *value;
    }
    for (const char* variable : kSystemdVariables) {
      std::string value = env_or_empty(variable);
      if (!value.empty()) roots[variable] = value;
    }
    if (!make_folders(unit_dir()) || !write_whole(service->unit_path(), unit_text(def, roots)))
      return fail_with<std::unique_ptr<Service>>(errno);
    systemctl({"daemon-reload"});
    if (def.start_type == kServiceAutoStart) systemctl({"enable", unit_of(def.name)});
    return Result<std::unique_ptr<Service>>(std::move(service));
  }

  Result<std::unique_ptr<Service>> open_service(std::string_view name) override {
    auto service = std::make_unique<SystemdService>(std::string(name));
    if (name.empty() || !service->exists())
      return fail_with<std::unique_ptr<Service>>(kErrorServiceDoesNotExist);
    return Result<std::unique_ptr<Service>>(std::move(service));
  }
};

}  // namespace

std::unique_ptr<ServiceManager> make_systemd_manager() {
  return std::make_unique<SystemdManager>();
}

}  // namespace qma::platform::svc
