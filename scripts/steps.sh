# Shared by the set-up scripts: one line per step, and the output of a step's
# commands only when one of them fails.

step() { echo "$*" >&2; }

# Runs a command with its output kept aside; shows that output if it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if ((status)); then
    cat "$log" >&2
    echo "failed ($status): $*" >&2
  fi
  rm -f "$log"
  return "$status"
}
