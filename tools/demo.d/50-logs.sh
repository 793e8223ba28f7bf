#!/usr/bin/env bash
# Demo: the log archive. Asks the agent to collect its logs and those of its neighbours into
# QMAgentLog.zip, fetches the archive with qmactl logs --out and shows what it holds. Starts
# the agent when it is not running and stops it again.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib/agent.sh"

start_agent logs || exit 1

work=$(mktemp -d "${QMA_STATE_DIR%/*}/logs.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "== logs: qmactl logs --out QMAgentLog.zip"
qmactl logs --out "$work/QMAgentLog.zip"
rc_logs=$?
unzip -l "$work/QMAgentLog.zip"
unzip -tq "$work/QMAgentLog.zip"
rc_test=$?

stop_agent logs
[ "$rc_logs" = 0 ] && [ "$rc_test" = 0 ]
