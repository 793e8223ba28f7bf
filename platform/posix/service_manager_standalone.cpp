// The standalone service manager: a service database under $QMA_STATE_DIR/scm/ and a
// supervisor process (qmasvchost) per running service. OS headers are allowed here.
//
// One folder per service, named after the service name in lower case:
//   config          key=value lines of the definition and the recorded root variables
//   status          the last status the service (or its supervisor) reported
//   start.args      start arguments of the last start, one per line
//   host.pid        "PID START-TIME" of the supervisor while it runs
//   service.pid     "PID START-TIME" of the service process while it runs
//   control.sock    the service's control socket (its dispatcher listens)
//   deleted         present once the service was deleted while it still ran
//   output.log      standard output and error of the service process
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/posix/service_manager_internal.h"
#include "platform/process.h"

namespace qma::platform::svc {
namespace {

constexpr int kControlTimeoutMs = 30000;

std::string scm_dir() {
  return join_path(state_dir(), "scm");
}

/// Service names compare without case; the folder name keeps letters, digits,
/// '.', '_' and '-' and writes any other byte as %XX.
std::string folder_of(std::string_view name) {
  std::string out;
  for (unsigned char c : name) {
    c = static_cast<unsigned char>(std::tolower(c));
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", c);
      out += hex;
    }
  }
  return join_path(scm_dir(), out);
}

struct Db {
  std::string dir;
  std::string file(const char* name) const { return join_path(dir, name); }
  bool exists() const { return ::access(file("config").c_str(), F_OK) == 0; }
  bool deleted() const { return ::access(file("deleted").c_str(), F_OK) == 0; }
  std::map<std::string, std::string> config() const {
    return parse_key_values(read_whole(file("config")).value_or(""));
  }
  uint32_t service_type() const {
    auto cfg = config();
    return static_cast<uint32_t>(std::strtoul(cfg["service_type"].c_str(), nullptr, 10));
  }
};

Result<FileLock> lock_database() {
  ::mkdir(state_dir().c_str(), 0755);
  if (::mkdir(scm_dir().c_str(), 0755) != 0 && errno != EEXIST) {
    int error = errno;
    set_last_error(error);
    return Result<FileLock>::failure(error);
  }
  return FileLock::acquire(join_path(scm_dir(), ".lock"));
}

/// Takes a service folder out of the database in one step, then deletes it.
bool drop_folder(const Db& db) {
  std::string doomed = join_path(scm_dir(), ".deleted-" + std::to_string(::getpid()) + "-" +
                                                std::filesystem::path(db.dir).filename().string());
  if (::rename(db.dir.c_str(), doomed.c_str()) != 0) return false;
  std::error_code ec;
  std::filesystem::remove_all(doomed, ec);
  return true;
}

/// True while the process recorded in a "PID START-TIME" file still runs.
bool recorded_process_alive(const std::string& file) {
  auto text = read_whole(file);
  if (!text) return false;
  unsigned long long pid = 0, start = 0;
  if (std::sscanf(text->c_str(), "%llu %llu", &pid, &start) != 2) return false;
  unsigned long long now = process_start_time(static_cast<pid_t>(pid));
  return now != 0 && now == start;
}

bool host_alive(const Db& db) {
  return recorded_process_alive(db.file("host.pid"));
}

/// The service counts as running while its supervisor or its own process lives (a
/// supervisor killed by hand leaves a service that still answers controls).
bool run_alive(const Db& db) {
  return host_alive(db) || recorded_process_alive(db.file("service.pid"));
}

/// A deleted service whose run ended without its supervisor (killed by hand)
/// leaves the database here, so its name is free again.
void drop_if_deleted_and_ended(const Db& db) {
  if (db.deleted() && !run_alive(db)) drop_folder(db);
}

/// The last reported status, or stopped when no supervisor runs the service any more.
ServiceStatus effective_status(const Db& db) {
  ServiceStatus stopped;
  stopped.service_type = db.service_type();
  stopped.current_state = kServiceStopped;
  auto status = parse_status(read_whole(db.file("status")).value_or(""));
  if (!status) return stopped;
  if (status->current_state != kServiceStopped && !run_alive(db)) {
    stopped.win32_exit_code = kErrorProcessAborted;
    return stopped;
  }
  return *status;
}

/// Path of the supervisor program: $QMA_SVCHOST, else qmasvchost beside this
/// program, else beside the service's image.
std::string host_program(const std::string& image_program) {
  if (auto path = get_env("QMA_SVCHOST"); path && !path->empty()) return *path;
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto candidate = self.parent_path() / "qmasvchost";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return (std::filesystem::path(image_program).parent_path() / "qmasvchost").string();
}

/// Starts the supervisor detached (its own session, not our child) and returns its pid.
Result<pid_t> spawn_supervisor(const std::string& program, const std::string& db_dir) {
  ExecArrays arrays({program, "--run", db_dir}, environment_with({}));
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail_with<pid_t>(errno);
  pid_t middle = ::fork();
  if (middle < 0) {
    int error = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return fail_with<pid_t>(error);
  }
  if (middle == 0) {
    ::setsid();
    pid_t host = ::fork();
    if (host == 0) {
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
      }
      // Nothing of the starter's (a console, a script) stays open in the supervisor.
      ::closefrom(3);
      ::execve(arrays.argv()[0], arrays.argv(), arrays.envp());
      ::_exit(127);
    }
    int32_t value = host;
    (void)!::write(fds[1], &value, sizeof(value));
    ::_exit(host < 0 ? 1 : 0);
  }
  ::close(fds[1]);
  int32_t host = -1;
  ssize_t n;
  do {
    n = ::read(fds[0], &host, sizeof(host));
  } while (n < 0 && errno == EINTR);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (n != sizeof(host) || host <= 0) return fail_with<pid_t>(ECHILD);
  return static_cast<pid_t>(host);
}

/// Sends one control to the service's dispatcher and waits for the handler's answer.
Status deliver_control(const Db& db, uint32_t control) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return status_fail(errno);
  if (connect_unix_socket(fd, db.file("control.sock")) != 0) {
    ::close(fd);
    return status_fail(kErrorServiceRequestTimeout);
  }
  std::string request = std::to_string(control) + "\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return status_fail(kErrorServiceRequestTimeout);
  }
  std::string reply;
  uint64_t waited = 0;
  while (reply.find('\n') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      waited += 100;
      if (waited >= kControlTimeoutMs) break;
      continue;
    }
    char buffer[64];
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (reply.find('\n') == std::string::npos) return status_fail(kErrorServiceRequestTimeout);
  return Status::success();
}

class StandaloneService : public Service {
 public:
  explicit StandaloneService(Db db) : db_(std::move(db)) {}

  Result<ServiceStatus> query_status() override {
    if (!db_.exists()) return fail_with<ServiceStatus>(kErrorServiceDoesNotExist);
    return effective_status(db_);
  }

  Status start(const std::vector<std::string>& arguments) override {
    auto lock = lock_database();
    if (!lock) return status_fail(lock.error());
    if (!db_.exists()) return status_fail(kErrorServiceDoesNotExist);
    if (db_.deleted()) return status_fail(kErrorServiceMarkedForDelete);
    if (effective_status(db_).current_state != kServiceStopped)
      return status_fail(kErrorServiceAlreadyRunning);

    std::string args_text;
    for (const auto& arg : arguments) args_text += arg + "\n";
    ServiceStatus pending;
    pending.service_type = db_.service_type();
    pending.current_state = kServiceStartPending;
    pending.wait_hint = 2000;
    ::unlink(db_.file("control.sock").c_str());
    ::unlink(db_.file("service.pid").c_str());
    if (!write_whole(db_.file("start.args"), args_text) ||
        !write_whole(db_.file("status"), format_status(pending))) {
      return status_fail(errno);
    }
    auto argv = split_command_line(db_.config()["image_path"]);
    auto host = spawn_supervisor(host_program(argv.empty() ? std::string() : argv[0]), db_.dir);
    if (!host) {
      ServiceStatus stopped = pending;
      stopped.current_state = kServiceStopped;
      (void)write_whole(db_.file("status"), format_status(stopped));
      return status_fail(host.error());
    }
    std::string pid_text = std::to_string(host.value()) + " " +
                           std::to_string(process_start_time(host.value())) + "\n";
    if (!write_whole(db_.file("host.pid"), pid_text)) return status_fail(errno);
    return Status::success();
  }

  Result<ServiceStatus> control(uint32_t control) override {
    if (!db_.exists()) return fail_with<ServiceStatus>(kErrorServiceDoesNotExist);
    ServiceStatus now = effective_status(db_);
    if (now.current_state == kServiceStopped)
      return fail_with<ServiceStatus>(kErrorServiceNotActive);
    if (control != kServiceControlInterrogate) {
      if (now.current_state == kServiceStartPending || now.current_state == kServiceStopPending) {
        return fail_with<ServiceStatus>(kErrorServiceCannotAcceptCtrl);
      }
      bool accepted = true;
      if (control == kServiceControlStop)
        accepted = (now.controls_accepted & kServiceAcceptStop) != 0;
      if (control == kServiceControlPause || control == kServiceControlContinue) {
        accepted = (now.controls_accepted & kServiceAcceptPauseContinue) != 0;
      }
      if (control == kServiceControlShutdown) accepted = false;  // only the system sends it
      if (!accepted) return fail_with<ServiceStatus>(kErrorInvalidServiceControl);
    }
    auto delivered = deliver_control(db_, control);
    if (!delivered) return fail_with<ServiceStatus>(delivered.error());
    return effective_status(db_);
  }

  Status set_failure_command(std::string_view command_line) override {
    auto lock = lock_database();
    if (!lock) return status_fail(lock.error());
    if (!db_.exists()) return status_fail(kErrorServiceDoesNotExist);
    auto config = db_.config();
    config["failure_command"] = std::string(command_line);
    if (!write_whole(db_.file("config"), format_key_values(config))) return status_fail(errno);
    return Status::success();
  }

  Status remove() override {
    auto lock = lock_database();
    if (!lock) return status_fail(lock.error());
    if (!db_.exists()) return status_fail(kErrorServiceDoesNotExist);
    if (db_.deleted()) return status_fail(kErrorServiceMarkedForDelete);
    if (run_alive(db_)) {
      if (!write_whole(db_.file("deleted"), "")) return status_fail(errno);
      return Status::success();
    }
    if (!drop_folder(db_)) return status_fail(errno);
    return Status::success();
  }

  Result<ServiceDefinition> definition() override {
    if (!db_.exists()) return fail_with<ServiceDefinition>(kErrorServiceDoesNotExist);
    auto config = db_.config();
    ServiceDefinition def;
    def.name = config["name"];
    def.display_name = config["display_name"];
    def.service_type =
        static_cast<uint32_t>(std::strtoul(config["service_type"].c_str(), nullptr, 10));
    def.start_type = static_cast<uint32_t>(std::strtoul(config["start_type"].c_str(), nullptr, 10));
    def.error_control =
        static_cast<uint32_t>(std::strtoul(config["error_control"].c_str(), nullptr, 10));
    def.image_path = config["image_path"];
    def.failure_command = config["failure_command"];
    std::string args = read_whole(db_.file("start.args")).value_or("");
    size_t start = 0;
    while (start < args.size()) {
      size_t end = args.find('\n', start);
      if (end == std::string::npos) end = args.size();
      def.last_start_arguments.push_back(args.substr(start, end - start));
      start = end + 1;
    }
    return def;
  }

 private:
  Db db_;
};

class StandaloneManager : public ServiceManager {
 public:
  std::string_view backend_name() const override { return "standalone"; }

  Result<std::unique_ptr<Service>> create_service(const ServiceDefinition& def) override {
    using R = Result<std::unique_ptr<Service>>;
    if (def.name.empty()) return fail_with<std::unique_ptr<Service>>(EINVAL);
    auto lock = lock_database();
    if (!lock) return R::failure(lock.error());
    Db db{folder_of(def.name)};
    drop_if_deleted_and_ended(db);
    if (db.exists()) {
      return fail_with<std::unique_ptr<Service>>(db.deleted() ? kErrorServiceMarkedForDelete
                                                              : kErrorServiceExists);
    }
    if (::mkdir(db.dir.c_str(), 0755) != 0 && errno != EEXIST)
      return fail_with<std::unique_ptr<Service>>(errno);
    std::map<std::string, std::string> config = {
        {"name", def.name},
        {"display_name", def.display_name},
        {"service_type", std::to_string(def.service_type)},
        {"start_type", std::to_string(def.start_type)},
        {"error_control", std::to_string(def.error_control)},
        {"image_path", def.image_path},
        {"failure_command", def.failure_command},
    };
    for (const char* variable : kRootVariables) {
      if (auto value = get_env(variable)) config[std::string("env.") + variable] = *value;
    }
    if (!write_whole(db.file("config"), format_key_values(config)))
      return fail_with<std::unique_ptr<Service>>(errno);
    return R(std::make_unique<StandaloneService>(db));
  }

  Result<std::unique_ptr<Service>> open_service(std::string_view name) override {
    Db db{folder_of(name)};
    if (!name.empty()) drop_if_deleted_and_ended(db);
    if (name.empty() || !db.exists())
      return fail_with<std::unique_ptr<Service>>(kErrorServiceDoesNotExist);
    return Result<std::unique_ptr<Service>>(std::make_unique<StandaloneService>(db));
  }
};

/// Supervises one run of the service whose database folder is db_dir.
int supervise(const std::string& db_dir) {
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  Db db{db_dir};
  auto config = db.config();
  std::map<std::string, std::string> changes = {
      {"QMA_SCM", "standalone"},
      {kEnvBackend, "standalone"},
      {kEnvServiceName, config["name"]},
      {kEnvDatabase, db_dir},
  };
  for (const char* variable : kRootVariables) {
    auto it = config.find(std::string("env.") + variable);
    if (it != config.end()) changes[variable] = it->second;
  }
  auto envp = environment_with(changes);
  auto argv = split_command_line(config["image_path"]);

  pid_t child = -1;
  if (!argv.empty()) {
    ExecArrays arrays(argv, envp);
    int out_fd =
        ::open(db.file("output.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    child = ::fork();
    if (child == 0) {
      ::signal(SIGHUP, SIG_DFL);
      ::signal(SIGPIPE, SIG_DFL);
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) ::dup2(null_fd, 0);
      if (out_fd >= 0) {
        ::dup2(out_fd, 1);
        ::dup2(out_fd, 2);
      }
      ::closefrom(3);  // the service keeps the standard descriptors only
      if (::chdir("/") != 0) ::_exit(127);
      ::execve(arrays.argv()[0], arrays.argv(), arrays.envp());
      ::_exit(127);
    }
    if (out_fd >= 0) ::close(out_fd);
  }
  if (child > 0) {
    (void)write_whole(db.file("service.pid"), std::to_string(child) + " " +
                                                  std::to_string(process_start_time(child)) + "\n");
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }

  bool failed = false;
  bool deleted = false;
  {
    auto lock = lock_database();
    // A service that reported stopped may be started again while its old process
    // still ends: the files then belong to the new run and are left alone.
    // (The starter writes host.pid while it holds the lock taken here.)
    long long recorded = 0;
    if (std::sscanf(read_whole(db.file("host.pid")).value_or("").c_str(), "%lld", &recorded) != 1 ||
        recorded != static_cast<long long>(::getpid())) {
      return 0;
    }
    auto status = parse_status(read_whole(db.file("status")).value_or(""));
    if (status && status->current_state == kServiceStopped && status->win32_exit_code != 0) {
      // Stopped, but as a failure of its own: the failure command runs.
      failed = true;
    } else if (!status || status->current_state != kServiceStopped) {
      ServiceStatus stopped;
      stopped.service_type = db.service_type();
      stopped.current_state = kServiceStopped;
      stopped.win32_exit_code = kErrorProcessAborted;
      (void)write_whole(db.file("status"), format_status(stopped));
      failed = true;
    }
    ::unlink(db.file("service.pid").c_str());
    ::unlink(db.file("control.sock").c_str());
    ::unlink(db.file("host.pid").c_str());
    deleted = db.deleted();
    if (deleted) drop_folder(db);
  }
  if (failed && !deleted && !config["failure_command"].empty()) {
    run_failure_command(config["failure_command"], envp);
  }
  return failed ? 1 : 0;
}

const char* state_name(uint32_t state) {
  switch (state) {
    case kServiceStopped:
      return "STOPPED";
    case kServiceStartPending:
      return "START_PENDING";
    case kServiceStopPending:
      return "STOP_PENDING";
    case kServiceRunning:
      return "RUNNING";
    default:
      return "UNKNOWN";
  }
}

/// "query NAME": the service's definition and status, for administrators and the demo.
int query_command(const std::string& name) {
  auto manager = ServiceManager::open();
  if (!manager) {
    std::printf("[SC] OpenSCManager FAILED %d\n", manager.error());
    return 1;
  }
  auto service = manager.value()->open_service(name);
  if (!service) {
    std::printf("[SC] OpenService FAILED %d\n", service.error());
    return 1;
  }
  auto status = service.value()->query_status();
  auto def = service.value()->definition();
  if (!status || !def) {
    std::printf("[SC] QueryServiceStatus FAILED %d\n", status ? def.error() : status.error());
    return 1;
  }
  std::string args;
  for (const auto& arg : def->last_start_arguments) {
    if (!args.empty()) args += ' ';
    args += arg;
  }
  const ServiceStatus& s = status.value();
  std::printf("SERVICE_NAME       : %s\n", def->name.c_str());
  std::printf("DISPLAY_NAME       : %s\n", def->display_name.c_str());
  std::printf("MANAGER            : %.*s\n",
              static_cast<int>(manager.value()->backend_name().size()),
              manager.value()->backend_name().data());
  std::printf("TYPE               : %x\n", s.service_type);
  std::printf("START_TYPE         : %u  %s\n", def->start_type,
              def->start_type == kServiceAutoStart ? "AUTO_START" : "DEMAND_START");
  std::printf("STATE              : %u  %s\n", s.current_state, state_name(s.current_state));
  std::printf("CONTROLS_ACCEPTED  : %u\n", s.controls_accepted);
  std::printf("WIN32_EXIT_CODE    : %u\n", s.win32_exit_code);
  std::printf("CHECKPOINT         : 0x%x\n", s.check_point);
  std::printf("WAIT_HINT          : 0x%x\n", s.wait_hint);
  std::printf("BINARY_PATH_NAME   : %s\n", def->image_path.c_str());
  std::printf("FAILURE_COMMAND    : %s\n", def->failure_command.c_str());
  std::printf("START_ARGUMENTS    : %s\n", args.c_str());
  return 0;
}

}  // namespace

std::unique_ptr<ServiceManager> make_standalone_manager() {
  return std::make_unique<StandaloneManager>();
}

}  // namespace qma::platform::svc

namespace qma::platform {

int service_host_main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--run") == 0) return svc::supervise(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "query") == 0) return svc::query_command(argv[2]);
  std::fprintf(stderr, "usage: %s query SERVICE-NAME\n", argc > 0 ? argv[0] : "qmasvchost");
  return 2;
}

}  // namespace qma::platform
