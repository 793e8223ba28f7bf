// Who may talk to the agent over its pipe (portable: no OS calls).
#include <algorithm>

#include "platform/environment.h"
#include "platform/local_pipe.h"

namespace qma::platform {

std::string pipe_group_name() {
  auto name = get_env("QMA_PIPE_GROUP");
  return name && !name->empty() ? *name : std::string("qmagent");
}

bool pipe_peer_allowed(const PipePeer& peer, uint32_t own_uid, std::optional<uint32_t> group) {
  if (peer.uid == 0 || peer.uid == own_uid) return true;
  if (!group) return false;
  return peer.gid == *group ||
         std::find(peer.groups.begin(), peer.groups.end(), *group) != peer.groups.end();
}

}  // namespace qma::platform
