#!/usr/bin/env bash
# run.sh SCENARIOS LINUX_BUILD WINDOWS_BUILD: runs each acceptance scenario's test cases on
# both builds (the Windows one under Wine, through its CTest list) and prints one table:
# scenario, Linux, Windows. A scenario passes on a side when every case it names exists
# there and passes. Exit status: 0 when every scenario passes on both sides.
set -uo pipefail
scenarios=$1
linux=$2
windows=$3

# Runs the named cases (a '|' list) in one build; "pass" or "FAIL".
run_side() {
  local dir=$1 names=$2 extra=$3 expected out line total failed
  expected=$(tr '|' '\n' <<<"$names" | grep -c .)
  # shellcheck disable=SC2086
  out=$(ctest --test-dir "$dir" -R "^(${names//./\\.})\$" --timeout 600 $extra 2>&1)
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' <<<"$out" | tail -1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  failed=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  if [ -n "$line" ] && [ "$total" = "$expected" ] && [ "$failed" = 0 ]; then
    echo pass
  else
    echo FAIL
  fi
}

rows=()
bad=0
while IFS= read -r entry; do
  case $entry in '#'* | '') continue ;; esac
  IFS=';' read -r name on_linux on_windows <<<"$entry"
  name=$(sed -E 's/^ +//; s/ +$//' <<<"$name")
  on_linux=$(tr -d ' ' <<<"$on_linux")
  on_windows=$(tr -d ' ' <<<"$on_windows")
  l=$(run_side "$linux" "$on_linux" "")
  w=$(run_side "$windows" "$on_windows" "--repeat until-pass:2")
  [ "$l" = pass ] && [ "$w" = pass ] || bad=$((bad + 1))
  rows+=("$(printf '%-58s %-7s %-7s' "$name" "$l" "$w")")
done <"$scenarios"

printf '%-58s %-7s %-7s\n' scenario Linux Windows
printf '%s\n' "${rows[@]}"
echo "acceptance: $((${#rows[@]} - bad)) of ${#rows[@]} scenarios pass on both systems"
[ "$bad" -eq 0 ]
