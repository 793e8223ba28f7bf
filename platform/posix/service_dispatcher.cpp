// The service's own side of both service managers: dispatcher, control handler delivery and
// status reports. OS headers are allowed here; nothing in this file logs.
//
// A manager marks the process it starts with QMA_SCM_SERVICE (the service name) and
// QMA_SCM_BACKEND. The standalone manager's controls arrive on a Unix socket in the
// service's database folder, its status reports go to the folder's status file. Under
// systemd a stop arrives as SIGTERM and status reports go out through $NOTIFY_SOCKET.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/posix/service_manager_internal.h"

namespace qma::platform {

struct ServiceStatusTarget {
  std::string name;
  std::string backend;
  std::string database;
};

namespace {

std::mutex g_mutex;
ServiceStatusTarget g_target;
/// systemd's notify socket, taken out of the environment when the service starts so that
/// the programs the service runs (update tools, systemctl) never report in its name.
std::string g_notify_socket;
bool g_dispatching = false;
ServiceHandlerFunction g_handler = nullptr;
void* g_context = nullptr;

Status fail(int error) {
  set_last_error(error);
  return Status::failure(error);
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

uint32_t call_handler(uint32_t control) {
  ServiceHandlerFunction handler;
  void* context;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_handler;
    context = g_context;
  }
  if (handler == nullptr) return static_cast<uint32_t>(kErrorFailedServiceControllerConnect);
  return handler(control, 0, nullptr, context);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t begin = text.find_first_not_of(" \t", start);
    if (begin == std::string::npos) break;
    size_t end = text.find_first_of(" \t", begin);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(begin, end - begin));
    start = end;
  }
  return words;
}

/// Serves one control connection: reads "N\n", calls the handler, answers "R\n".
void serve_control(int fd) {
  std::string request;
  while (request.find('\n') == std::string::npos && request.size() < 64) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 5000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    char buffer[64];
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  uint32_t control = static_cast<uint32_t>(std::strtoul(request.c_str(), nullptr, 10));
  uint32_t result = call_handler(control);
  std::string reply = std::to_string(result) + "\n";
  (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

int listen_on(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  int error = svc::bind_unix_socket(fd, path);
  if (error == 0 && ::listen(fd, 8) != 0) error = errno;
  if (error != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

/// Sends one sd_notify datagram to $NOTIFY_SOCKET (a path, or "@name" for an abstract socket).
bool notify_systemd(const std::string& message) {
  std::string socket_path_text;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    socket_path_text = g_notify_socket;
  }
  if (socket_path_text.empty()) socket_path_text = get_env("NOTIFY_SOCKET").value_or("");
  const std::string* socket_path = &socket_path_text;
  if (socket_path->empty()) {
    errno = ENOTCONN;
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path->size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, socket_path->data(), socket_path->size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path->size());
  if (address.sun_path[0] == '@') {
    address.sun_path[0] = '\0';
  } else {
    length += 1;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr*>(&address), length);
  int error = errno;
  ::close(fd);
  errno = error;
  return sent == static_cast<ssize_t>(message.size());
}

}  // namespace

Status forget_start_arguments() {
  ServiceStatusTarget target;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    target = g_target;
  }
  if (target.backend != "systemd" || target.name.empty()) return Status::success();
  // A restart reads the file again; a start through the service manager writes a new one.
  const std::string path = svc::systemd_start_arguments_path(target.name);
  if (!svc::read_whole(path)) return Status::success();
  if (!svc::write_whole(path, std::string(svc::kEnvStartArgs) + "=\n")) {
    return svc::status_fail(errno);
  }
  return Status::success();
}

bool started_as_service() {
  return get_env(svc::kEnvServiceName).has_value() && get_env(svc::kEnvBackend).has_value();
}

Status run_service_dispatcher(std::string_view service_name, ServiceMainFunction main) {
  auto name = get_env(svc::kEnvServiceName);
  auto backend = get_env(svc::kEnvBackend);
  if (!name || !backend || !same_name(*name, service_name) || main == nullptr) {
    return fail(kErrorFailedServiceControllerConnect);
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_dispatching) return fail(kErrorServiceAlreadyRunning);
    g_dispatching = true;
    g_target = ServiceStatusTarget{std::string(service_name), *backend,
                                   get_env(svc::kEnvDatabase).value_or("")};
  }
  auto finish = [](Status result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dispatching = false;
    g_handler = nullptr;
    g_context = nullptr;
    return result;
  };

  std::vector<std::string> args = {std::string(service_name)};
  int source_fd = -1;
  const std::string control_path = join_path(g_target.database, "control.sock");
  ino_t control_inode = 0;
  bool systemd = *backend == "systemd";
  sigset_t old_mask;
  if (systemd) {
    // Stop requests arrive as SIGTERM; every thread started from here on keeps it
    // blocked, so only this thread's signalfd sees it.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &mask, &old_mask);
    source_fd = ::signalfd(-1, &mask, SFD_CLOEXEC);
    for (auto& word : split_words(get_env(svc::kEnvStartArgs).value_or(""))) args.push_back(word);
  } else {
    source_fd = listen_on(control_path);
    struct stat bound {};
    if (source_fd >= 0 && ::stat(control_path.c_str(), &bound) == 0) control_inode = bound.st_ino;
    for (auto& line :
         split_lines(svc::read_whole(join_path(g_target.database, "start.args")).value_or(""))) {
      args.push_back(line);
    }
  }
  if (source_fd < 0) {
    int error = errno;
    if (systemd) ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return finish(fail(error));
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    int error = errno;
    ::close(source_fd);
    if (systemd) ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return finish(fail(error));
  }

  // The marks of this run are consumed: a program that the service starts (an update tool,
  // a script that runs QMAgent without arguments) is not taken for the service itself.
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notify_socket = systemd ? get_env("NOTIFY_SOCKET").value_or("") : "";
  }
  for (const char* mark : {svc::kEnvServiceName, svc::kEnvBackend, svc::kEnvDatabase,
                           svc::kEnvStartArgs, "NOTIFY_SOCKET"}) {
    ::unsetenv(mark);
  }

  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::thread service_thread([&] {
    main(static_cast<uint32_t>(args.size()), argv.data());
    char byte = 1;
    (void)!::write(wake[1], &byte, 1);
  });

  for (;;) {
    pollfd fds[2] = {{wake[0], POLLIN, 0}, {source_fd, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents == 0) continue;
    if (systemd) {
      signalfd_siginfo info{};
      if (::read(source_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        call_handler(kServiceControlStop);
      }
    } else {
      int client = ::accept4(source_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        serve_control(client);
        ::close(client);
      }
    }
  }
  service_thread.join();
  ::close(wake[0]);
  ::close(wake[1]);
  ::close(source_fd);
  if (systemd) {
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  } else if (struct stat now{};
             ::stat(control_path.c_str(), &now) == 0 && now.st_ino == control_inode) {
    // Only our own socket: a new run of the service may have made its own already.
    ::unlink(control_path.c_str());
  }
  return finish(Status::success());
}

Result<ServiceStatusHandle> register_service_handler(std::string_view service_name,
                                                     ServiceHandlerFunction handler,
                                                     void* context) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_dispatching) {
    set_last_error(kErrorFailedServiceControllerConnect);
    return Result<ServiceStatusHandle>::failure(kErrorFailedServiceControllerConnect);
  }
  if (!same_name(service_name, g_target.name)) {
    set_last_error(kErrorServiceDoesNotExist);
    return Result<ServiceStatusHandle>::failure(kErrorServiceDoesNotExist);
  }
  g_handler = handler;
  g_context = context;
  return &g_target;
}

Status set_service_status(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == nullptr) return fail(EINVAL);
  if (handle->backend == "systemd") {
    std::string message;
    if (status.current_state == kServiceRunning) message += "READY=1\n";
    if (status.current_state == kServiceStopPending) message += "STOPPING=1\n";
    if ((status.current_state == kServiceStartPending ||
         status.current_state == kServiceStopPending) &&
        status.wait_hint != 0) {
      message +=
          "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(status.wait_hint) * 1000) +
          "\n";
    }
    message += "STATUS=qma " + svc::format_status(status);
    if (!notify_systemd(message)) return fail(errno);
    return Status::success();
  }
  if (!svc::write_whole(join_path(handle->database, "status"), svc::format_status(status)))
    return fail(errno);
  return Status::success();
}

}  // namespace qma::platform
