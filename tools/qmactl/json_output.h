// qmactl's output for scripts: every answer and every received notice as one JSON object
// on one line.
#pragma once

#include <string>
#include <string_view>

namespace qma::qmactl {

/// The answer message as a JSON object: the root element's attributes and children
/// become members; an element that repeats under one parent becomes an array, and
/// "Module" and "option" (the module and option tables) are arrays always. Counters
/// and codes ("Status", "ModuleStatus", "major", ...) are numbers, null when empty;
/// every other value stays text as the agent wrote it. An element with attributes or
/// children keeps its own text under "text". "AttachedFile" names the file the answer
/// frame carries, when it carries one. A message that is not well formed comes whole
/// under "RawMessage".
std::string json_answer(std::string_view xml, std::string_view attached_file);

/// A notice received by `qmactl listen` with this request line ("POST /path HTTP/1.1"):
/// its message as json_answer shows it, with "NoticePath", the path it was posted to.
std::string json_notice(std::string_view request_line, std::string_view xml);

/// The line `qmactl listen` starts with: {"ListeningPort":N}.
std::string json_listening(unsigned port);

}  // namespace qma::qmactl
