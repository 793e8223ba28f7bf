#!/usr/bin/env bash
# Demo: the versions of everything the agent can update. Starts the agent service, asks it
# with qmactl for its module table (the BIOS, the BMC when the host has a readable one, the
# agent itself through its own package's QMAGetVersion, and any module a package placed),
# shows the version history files of each module folder, and stops the agent again.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib/agent.sh"

ROOT="$AXIS2C_HOME/bin/QMA_PKGROOT"

start_agent versions || exit 1

echo "== versions: package root $ROOT"
ls -l "$ROOT"
echo "== versions: qmactl versions"
out=$(qmactl versions)
rc=$?
echo "$out"

# Each module folder's history as the agent keeps it (current, previous, the one before).
for folder in "$ROOT"/*/; do
  module=$(basename "$folder")
  line=""
  for file in CurrentVersion.xml ExVersion.xml ExExVersion.xml; do
    if [ -f "$folder$file" ]; then
      version=$(sed -n 's/.*<version>\([^<]*\)<\/version>.*/\1/p' "$folder$file")
      line="$line $file=${version:-?}"
    fi
  done
  echo "== versions: history of $module:${line:- none yet}"
done

stop_agent versions
# The agent lists itself through its own package's tool, with that package's messages.
[ "$rc" = 0 ] && grep -q '^02000000  Norvik Quillmend Agent .*The agent version was read\.' <<<"$out"
