#!/usr/bin/env bash
# Demo: the versions of everything the agent can update. Starts the agent service, asks it
# with qmactl for its module table (the BIOS, the BMC when the host has a readable one, the
# agent itself through its own package's QMAGetVersion, and any module a package placed),
# shows the version history files of each module folder, and stops the agent again.
set -u

SERVICE="Quillmend Agent"
PIPE="$QMA_STATE_DIR/pipe/qmagentsvc"
ROOT="$AXIS2C_HOME/bin/QMA_PKGROOT"

running() {
  [ "$(qmasvchost query "$SERVICE" 2>/dev/null | sed -n 's/^STATE *: *\([0-9]*\).*/\1/p')" = 4 ]
}

if ! qmasvchost query "$SERVICE" >/dev/null 2>&1; then
  QMAgent -install
fi
if ! running; then
  echo "== versions: QMAgent -start"
  QMAgent -start
fi
for _ in $(seq 1 100); do
  [ -S "$PIPE" ] && break
  sleep 0.1
done
if [ ! -S "$PIPE" ]; then
  echo "versions: the agent's pipe $PIPE did not appear; last lines of the agent log:" >&2
  tail -n 20 "$AXIS2C_HOME/bin/QMA_LOGROOT/QMAgent.log" >&2 2>/dev/null
  exit 1
fi

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

echo "== versions: QMAgent -stop"
QMAgent -stop
# The agent lists itself through its own package's tool, with that package's messages.
[ "$rc" = 0 ] && grep -q '^02000000  Norvik Quillmend Agent .*The agent version was read\.' <<<"$out"
