# Shell test helpers: each check prints "ok - ..." or "not ok - ..." and counts failures in
# $failures; the script ends with `finish NAME`.
failures=0
ok() { echo "ok - $*"; }
not_ok() {
  echo "not ok - $*"
  failures=$((failures + 1))
}
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else not_ok "$what"; fi
}
# expect DESCRIPTION ACTUAL EXPECTED
expect() {
  if [ "$2" = "$3" ]; then
    ok "$1"
  else
    not_ok "$1: got [$2], expected [$3]"
  fi
}
# until_true SECONDS COMMAND...: polls every 0.1 s.
until_true() {
  local tries=$(($1 * 10))
  shift
  while [ "$tries" -gt 0 ]; do
    "$@" && return 0
    sleep 0.1
    tries=$((tries - 1))
  done
  "$@"
}
# finish NAME: the closing line, and the exit status.
finish() {
  if [ "$failures" -eq 0 ]; then
    echo "$1: all passed"
  else
    echo "$1: FAILED ($failures)"
    exit 1
  fi
}
