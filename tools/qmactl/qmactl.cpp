// qmactl: sends one request to the agent over its pipe and prints the answer;
// `qmactl listen` receives completion notices.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/xml_text.h"
#include "manager_if/frame_codec.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/local_pipe.h"
#include "platform/process.h"
#include "platform/tcp_stream.h"
#include "tools/qmactl/answer_printer.h"
#include "tools/qmactl/http_request.h"
#include "tools/qmactl/json_output.h"
#include "tools/qmactl/notice_printer.h"
#include "tools/qmactl/version_table.h"

namespace {

using qma::common::xml_escaped;
using qma::manager_if::encode_frame;
using qma::manager_if::read_le32;

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;

// --json: every answer and notice as one JSON object per line.
bool g_json = false;

void usage() {
  std::fputs(
      "usage: qmactl [--raw | --json] [--timeout SECONDS] [--id MESSAGE_ID] COMMAND\n"
      "commands:\n"
      "  info                              agent, host, OS and inventory information\n"
      "  versions                          versions of every installed module\n"
      "  register MODULE ARCHIVE           register an update package for a module\n"
      "  update MODULE MODE [--option ID] [--package ID] [--reply HOST:PORT]\n"
      "  update MODULE --mode MODE ...     MODE: update_normal, update_force, install, "
      "un_install;\n"
      "                                    prints the accepted answer; the completion comes as a\n"
      "                                    notice to HOST:PORT (see listen)\n"
      "  progress MODULE [--option ID]     progress of a running update\n"
      "  reboot | shutdown                 restart or power off the server\n"
      "  logs [--out FILE]                 collect the logs into one archive, copied to FILE\n"
      "  listen PORT [--count N]           print completion notices posted to PORT (0: any free\n"
      "                                    port), each as it arrives\n"
      "The answer is printed readable, as the raw message with --raw, or as one JSON object\n"
      "per answer and notice with --json. Exit status: 0 done (600/601), 1 any other\n"
      "status, 2 usage, 3 no answer.\n",
      stderr);
}

int permission_denied() {
  std::fprintf(stderr,
               "permission denied: only root and members of group %s may talk to the agent\n",
               qma::platform::pipe_group_name().c_str());
  return kExitNoAnswer;
}

struct Request {
  std::string code;
  std::string data;  // QMMData children
  std::string file_name;
  std::string directory;
};

std::string element(const char* name, const std::string& value) {
  return std::string("<") + name + ">" + xml_escaped(value) + "</" + name + ">";
}

std::string option_extension(const std::string& option) {
  return option.empty()
             ? ""
             : "<extension><option id=\"" + xml_escaped(option) + "\"></option></extension>";
}

/// A whole decimal number within [low, high]; nothing else is one.
bool parse_count(const std::string& text, long low, long high, long* out) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

// The folder an archive was dropped into; removed with whatever the agent left there.
struct StagedUpload {
  std::string folder, name;
  StagedUpload() = default;
  StagedUpload(const StagedUpload&) = delete;
  StagedUpload& operator=(const StagedUpload&) = delete;
  ~StagedUpload() {
    if (folder.empty()) return;
    (void)qma::platform::act_on_upload(folder, name, qma::platform::UploadAction::kDelete);
    (void)qma::platform::remove_directory(folder);
  }
};

// Drops the archive into a folder of its own in an upload folder, as the communication
// service stores uploads. The folders an administrator added come first: one beside the
// package root lets the agent move the upload in by a rename.
bool stage_archive(const std::string& archive, Request& request) {
  if (!qma::platform::file_readable(archive)) {
    std::fprintf(stderr, "qmactl: cannot read %s\n", archive.c_str());
    return false;
  }
  std::vector<std::string> uploads = qma::platform::upload_folders();
  std::rotate(uploads.begin(), uploads.begin() + 1, uploads.end());
  // The agent makes its own upload folder; root may run qmactl before the agent ever ran.
  (void)qma::platform::create_directory(uploads.back());
  static unsigned serial = 0;
  const std::string stem = "qmactl-" + std::to_string(qma::platform::monotonic_ms()) + "-" +
                           std::to_string(qma::platform::current_process_id()) + "-";
  std::string folder;
  for (const std::string& uploads_folder : uploads) {
    // A name already taken (another request this very millisecond) is passed over.
    for (int attempt = 0; attempt < 100 && folder.empty(); ++attempt) {
      std::string candidate =
          qma::platform::join_path(uploads_folder, stem + std::to_string(serial++));
      if (qma::platform::create_directory(candidate).ok()) {
        folder = candidate;
      } else if (qma::platform::last_error() != EEXIST) {
        break;
      }
    }
    if (!folder.empty()) break;
  }
  if (folder.empty()) {
    std::fprintf(stderr, "qmactl: cannot create a folder for the upload in %s\n",
                 uploads.back().c_str());
    return false;
  }
  std::string name = archive.substr(archive.find_last_of(qma::platform::kPathSeparators) + 1);
  if (!qma::platform::copy_file(archive, qma::platform::join_path(folder, name), true).ok()) {
    std::fprintf(stderr, "qmactl: cannot copy %s into %s\n", archive.c_str(), folder.c_str());
    (void)qma::platform::delete_file(qma::platform::join_path(folder, name));
    (void)qma::platform::remove_directory(folder);
    return false;
  }
  request.directory = folder;
  request.file_name = name;
  return true;
}

// One notice as it is printed: readable, or the request line and raw body with --raw.
void print_notice(long number, const std::string& request_line, const std::string& body, bool raw) {
  if (raw) {
    std::printf("== notice: %s\n%s\n", request_line.c_str(), body.c_str());
  } else {
    std::fputs(qma::qmactl::readable_notice(number, request_line, body).c_str(), stdout);
  }
  std::fflush(stdout);
}

int run_listen(const std::vector<std::string>& args, bool raw) {
  long port = 0;
  long count = -1;
  bool good = !args.empty() && parse_count(args[0], 0, 65535, &port);
  for (size_t i = 1; good && i < args.size(); i += 2) {
    good = args[i] == "--count" && i + 1 < args.size() &&
           parse_count(args[i + 1], 1, 1L << 30, &count);
  }
  if (!good) {
    usage();
    return kExitUsage;
  }
  auto listener = qma::platform::TcpListener::create(static_cast<uint16_t>(port));
  if (!listener.ok()) {
    std::fprintf(stderr, "qmactl: cannot listen on port %ld: %s\n", port,
                 std::strerror(listener.error()));
    return kExitNoAnswer;
  }
  if (g_json) {
    std::puts(qma::qmactl::json_listening(listener->port()).c_str());
  } else {
    std::printf("listening on port %u\n", listener->port());
  }
  std::fflush(stdout);
  for (long received = 0; count < 0 || received < count;) {
    auto stream = listener->accept(0xFFFFFFFFu);
    if (!stream.ok()) continue;
    auto request = qma::qmactl::read_http_request(*stream, 30000);
    if (!request) continue;
    if (g_json) {
      std::puts(qma::qmactl::json_notice(request->request_line, request->body).c_str());
      std::fflush(stdout);
    } else {
      print_notice(received + 1, request->request_line, request->body, raw);
    }
    static const char kOk[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\naccepted";
    (void)stream->write_some(kOk, sizeof kOk - 1, 5000);
    ++received;
  }
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  bool raw = false;
  long timeout_seconds = 900;
  std::string id;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--raw") {
      raw = true;
    } else if (a == "--json") {
      g_json = true;
    } else if (a == "--timeout") {
      // Seconds to wait for the answer: a whole number from 1 to about 24 days.
      if (i + 1 >= argc || !parse_count(argv[++i], 1, 2000000, &timeout_seconds)) {
        std::fprintf(stderr, "qmactl: --timeout takes a whole number of seconds above 0\n");
        usage();
        return kExitUsage;
      }
    } else if (a == "--id" && i + 1 < argc) {
      id = argv[++i];
    } else if (a == "-h" || a == "--help") {
      usage();
      return kExitDone;
    } else {
      args.push_back(a);
    }
  }
  if (args.empty() || (raw && g_json)) {
    usage();
    return kExitUsage;
  }
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "listen") return run_listen(args, raw);

  auto take_option = [&args](const char* name, std::string fallback = "") {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == name) {
        std::string value = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        return value;
      }
    }
    return fallback;
  };

  Request request;
  StagedUpload staged;
  std::string out_file;
  if (command == "info" && args.empty()) {
    request.code = "0";
  } else if (command == "versions" && args.empty()) {
    request.code = "1";
  } else if (command == "register" && args.size() == 2) {
    request.code = "2";
    if (!stage_archive(args[1], request)) return kExitUsage;
    staged.folder = request.directory;
    staged.name = request.file_name;
    request.data = element("FileName", request.file_name) + element("ModuleID", args[0]);
  } else if (command == "update") {
    std::string option = take_option("--option");
    std::string package = take_option("--package");
    std::string reply = take_option("--reply", "127.0.0.1:0");
    std::string mode = take_option("--mode");
    if (mode.empty() && args.size() == 2) {
      mode = args[1];
      args.pop_back();
    }
    if (args.size() != 1 || mode.empty() || reply.find(':') == std::string::npos) {
      usage();
      return kExitUsage;
    }
    request.code = "3";
    size_t colon = reply.rfind(':');
    request.data = element("ModuleID", args[0]) + element("PackageID", package) +
                   element("Mode", mode) + element("ReplyToAddress", reply.substr(0, colon)) +
                   element("ReplyToPort", reply.substr(colon + 1)) + option_extension(option);
  } else if (command == "progress") {
    std::string option = take_option("--option");
    if (args.size() != 1) {
      usage();
      return kExitUsage;
    }
    request.code = "4";
    request.data = element("ModuleID", args[0]) + option_extension(option);
  } else if (command == "reboot" && args.empty()) {
    request.code = "5";
  } else if (command == "shutdown" && args.empty()) {
    request.code = "6";
  } else if (command == "logs") {
    out_file = take_option("--out");
    if (!args.empty()) {
      usage();
      return kExitUsage;
    }
    request.code = "7";
  } else {
    usage();
    return kExitUsage;
  }
  if (id.empty()) id = "qmactl-" + std::to_string(qma::platform::monotonic_ms() % 100000000);
  std::string xml = "<QMMMessage MessageVersion=\"2.0\">" + element("MessageID", id.substr(0, 15)) +
                    element("CommandCode", request.code) +
                    (request.data.empty() ? "" : "<QMMData>" + request.data + "</QMMData>") +
                    "</QMMMessage>";
  std::string frame = encode_frame(0, 0, request.file_name, request.directory, xml);

  auto pipe = qma::platform::connect_local_pipe("qmagentsvc", 10000);
  if (!pipe.ok() && (pipe.error() == EACCES || pipe.error() == EPERM)) return permission_denied();
  if (!pipe.ok()) {
    std::fprintf(stderr, "qmactl: cannot connect to %s: error %d\n",
                 qma::platform::local_pipe_path("qmagentsvc").c_str(), pipe.error());
    return kExitNoAnswer;
  }
  for (size_t sent = 0; sent < frame.size();) {
    auto n = pipe->write(frame.data() + sent, frame.size() - sent, 30000);
    if (!n.ok()) {
      if (!qma::platform::may_use_local_pipe("qmagentsvc")) return permission_denied();
      std::fprintf(stderr, "qmactl: the agent did not take the request: error %d\n", n.error());
      return kExitNoAnswer;
    }
    sent += *n;
  }
  std::string answer;
  uint64_t deadline = qma::platform::monotonic_ms() + static_cast<uint64_t>(timeout_seconds) * 1000;
  char buffer[8192];
  while (qma::platform::monotonic_ms() < deadline) {
    auto n = pipe->read(buffer, sizeof buffer, 1000);
    if (n.ok()) {
      answer.append(buffer, *n);
      // One answer per request: an update keeps the connection open while its
      // tool runs, so the frame's end is the answer's end.
      if (answer.size() >= 12 && answer.size() >= uint64_t{read_le32(answer.data() + 8)} + 12) {
        break;
      }
    } else if (n.error() != qma::platform::kErrorPipeTimeout) {
      break;
    }
  }
  if (answer.size() < 528 || read_le32(answer.data() + 8) + 12 != answer.size()) {
    // The agent closes on clients it does not serve without a word; say why.
    if (!qma::platform::may_use_local_pipe("qmagentsvc")) return permission_denied();
    std::fprintf(stderr, "qmactl: the agent closed the connection without an answer\n");
    return kExitNoAnswer;
  }
  uint32_t length = read_le32(answer.data() + 524);
  std::string text = answer.substr(528, length);
  std::string attached(answer.data() + 12, strnlen(answer.data() + 12, 256));
  if (g_json) {
    std::puts(qma::qmactl::json_answer(text, attached).c_str());
  } else if (raw) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
  } else {
    std::fputs((request.code == "1" ? qma::qmactl::versions_table(text)
                                    : qma::qmactl::readable_answer(text))
                   .c_str(),
               stdout);
    if (!attached.empty()) std::printf("Attached file: %s\n", attached.c_str());
  }
  std::string status = qma::qmactl::element_text(text, "Status");
  bool done = status == "600" || status == "601";
  if (done && !out_file.empty()) {
    auto saved = attached.empty() ? qma::platform::Status::failure(ENOENT)
                                  : qma::platform::copy_file(attached, out_file, true);
    if (!saved.ok()) {
      std::fprintf(stderr, "qmactl: cannot save the log archive %s to %s: %s\n", attached.c_str(),
                   out_file.c_str(), std::strerror(saved.error()));
      return kExitRefused;
    }
    if (!raw) std::printf("Saved to: %s\n", out_file.c_str());
  }
  return done ? kExitDone : kExitRefused;
}
