#!/usr/bin/env bash
# Demo: the log archive. Asks the agent to collect its logs and those of its neighbours into
# QMAgentLog.zip, fetches the archive with qmactl logs --out and shows what it holds. Starts
# the agent when it is not running and stops it again.
set -u

SERVICE="Quillmend Agent"
PIPE="$QMA_STATE_DIR/pipe/qmagentsvc"

if ! qmasvchost query "$SERVICE" >/dev/null 2>&1; then
  QMAgent -install
fi
if [ "$(qmasvchost query "$SERVICE" | sed -n 's/^STATE *: *\([0-9]*\).*/\1/p')" != 4 ]; then
  echo "== logs: QMAgent -start"
  QMAgent -start
fi
for _ in $(seq 1 100); do
  [ -S "$PIPE" ] && break
  sleep 0.1
done
if [ ! -S "$PIPE" ]; then
  echo "logs: the agent's pipe $PIPE did not appear" >&2
  exit 1
fi

work=$(mktemp -d "${QMA_STATE_DIR%/*}/logs.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "== logs: qmactl logs --out QMAgentLog.zip"
qmactl logs --out "$work/QMAgentLog.zip"
rc_logs=$?
unzip -l "$work/QMAgentLog.zip"
unzip -tq "$work/QMAgentLog.zip"
rc_test=$?

echo "== logs: QMAgent -stop"
QMAgent -stop
[ "$rc_logs" = 0 ] && [ "$rc_test" = 0 ]
