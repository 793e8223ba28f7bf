#!/bin/sh
# The failure command of the Quillmend Agent service: the service manager runs it when the
# service ended without reporting stopped (killed, crashed, or ended during its start). It
# starts the service again, at most 3 times within 60 seconds; past that the service is left
# stopped and the reason is written to ServiceReStart.log beside this script. Under systemd the
# unit's own bounded restart setting starts the service again, and this script only notes it.
bin=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd) || exit 1
state=${QMA_STATE_DIR:-/var/lib/qmagent}
history=$state/service-restarts
log=$bin/ServiceReStart.log
limit=3
window=60
now=$(date +%s)

note() {
  printf '%s ServiceReStart: %s\n' "$(date '+%Y/%m/%d %H:%M:%S')" "$1" >>"$log" 2>/dev/null
}

if [ -n "${SERVICE_RESULT:-}" ]; then
  note "the service ended with result $SERVICE_RESULT; systemd starts it again (Restart=)"
  exit 0
fi

recent=0
kept=
if [ -f "$history" ]; then
  while read -r started; do
    case $started in '' | *[!0-9]*) continue ;; esac
    if [ $((now - started)) -lt "$window" ]; then
      recent=$((recent + 1))
      kept="$kept$started
"
    fi
  done <"$history"
fi
if [ "$recent" -ge "$limit" ]; then
  note "the service ended again after $recent restarts within $window seconds; it is left stopped"
  exit 1
fi
printf '%s%s\n' "$kept" "$now" >"$history.new" && mv -f "$history.new" "$history"
note "the service ended without reporting stopped; starting it again (restart $((recent + 1)) of $limit within $window seconds)"
"$bin/QMAgent" -start >/dev/null 2>&1
