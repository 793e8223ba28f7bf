// The records of running tools in the state folder: one file per started tool, kept until its
// request is over, so that the next start of the agent can end what a crashed run left behind.
#pragma once

#include <cstdint>
#include <string>

namespace qma::commands {

/// The update request a tool is started for: module id, mode and option id (may be empty).
struct ToolRequest {
  std::string module;
  std::string mode;
  std::string option;
};

/// Records a tool the agent has just started (its process, which leads a process group of its
/// own, its folder and, for an update, the request it serves) in the state folder's "tools"
/// folder, in one write, so that a crash at any later point leaves the request on record. A
/// record that cannot be written is logged; the tool runs on.
void record_tool(uint32_t pid, const std::string& folder, const ToolRequest* request);
/// Marks the recorded update as answered: its first answer was taken and the information file
/// written, so a restart finishes it instead of calling it failed.
void record_tool_answered(uint32_t pid);
/// The recorded tool of the previous run whose update got its first answer through; 0 for none.
uint32_t answered_tool_of_previous_run();
/// The module of that update; empty for none.
std::string answered_module_of_previous_run();
/// Whether the self-update check waits for a recorded process id that no tool record shows
/// running (true, the default, for a package start; a plain start waits only for recorded
/// tools, so an id given out again since is never waited for).
void set_waits_for_unrecorded_tools(bool wait);
bool waits_for_unrecorded_tools();
/// The tool has ended: whatever it left running in its process group is killed (logged once)
/// and its record is dropped.
void settle_ended_tool(uint32_t pid);
/// The request of a tool that still runs is over (the tool was left running past its time
/// limit): the record stays, so the next start ends the tree, but it no longer names an update
/// for that start to finish or to call failed.
void release_tool_request(uint32_t pid);
/// True when `pid` is a recorded tool that still runs (the same process that was recorded, not a
/// later one with its id).
bool recorded_tool_running(uint32_t pid);
/// At start: ends every recorded tool tree of the previous run except the one of `keep_pid` (the
/// tool of the update the start is about to finish; 0 for none), and drops their records. An
/// update whose tool is so ended never got a first answer through: its result files are deleted
/// and its module status becomes 2.
void end_tools_of_previous_run(uint32_t keep_pid);
/// After the start has finished the update of the kept tool: the tool, if it still runs past
/// the wait, and whatever it left in its process group are ended, and its record is dropped.
void end_kept_tool(uint32_t pid);

}  // namespace qma::commands
