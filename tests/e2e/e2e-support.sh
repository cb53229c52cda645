# Helpers of the end-to-end scripts (sourced): checks that count failures, and
# runs of the starter in the installation. The sourcing script sets `work`,
# `install` and `release`.

failures=0
passed=0
# However a scenario ends, the servers it started are stopped. One that passed
# leaves nothing behind: its release and installation hold several copies of the
# starter, tens of megabytes each in a sanitizer build, and a test run has many
# scenarios in three builds. One that failed keeps its files to be looked at.
end_scenario() {
  "$release" stop "$work"
  if [ "$passed" = 1 ]; then
    umount "$install" 2>/dev/null  # a scenario's own small disk
    rm -rf "$work" 2>/dev/null
  fi
  return 0
}
trap end_scenario EXIT

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
same_file() { cmp -s "$1" "$2"; }
missing() { [ ! -e "$1" ]; }

# Waits up to 30 s for a file to have content; the programs run on their own.
wait_for_file() {
  for _ in $(seq 300); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Runs the starter in the installation with the given arguments; sets `status`,
# `out` and `err`.
run_starter() {
  out=$work/run$1.out; err=$work/run$1.err; shift
  status=0
  (cd "$install" && ./Launcher.exe "$@" </dev/null >"$out" 2>"$err") || status=$?
  echo "starter exit status $status; output:"; sed 's/^/  | /' "$out" "$err"
}

lines_of() { printf '%s\n' "$@"; }

# Ends the script with the verdict of the checks.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; files in $work" >&2
    exit 1
  fi
  echo "all checks passed"
  passed=1
  exit 0
}
