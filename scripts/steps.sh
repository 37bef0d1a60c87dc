# Shared by the set-up scripts: one line per step, and the output of a step's
# commands only when one of them fails. A command that runs long says every
# half minute that it still does, so that a quiet step never looks hung.

# Seconds between two "still ..." lines of a command that runs long.
TICK_SECONDS=30

# The step's words before any colon name it in those lines ("installing
# Debian packages", without the list of them).
step() {
  local line="$*"
  echo "$line" >&2
  step_label=${line%%:*}
}

# ticking LABEL COMMAND...: runs the command with its input and output left
# as they are and, while it runs, prints "  ... still LABEL (30 s)" to
# stderr every TICK_SECONDS; a command that ends sooner adds nothing.
# The ticker waits on a pipe that only this shell writes to, held on fd 9
# for the command's length, and stops at its end of file: when the command
# ends, when Ctrl+C cuts it short (the shell undoes the braces' redirection
# even then, an interactive one too) and when the shell dies of anything
# else. The command gets fd 9 closed, or a process it left running would
# keep the ticker going.
ticking() {
  local label=$1 status=0 pipe ticker
  shift
  exec {pipe}> >(
    elapsed=0
    # read ends with a status above 128 when it times out, 1 at end of file.
    while read -r -t "$TICK_SECONDS"; (($? > 128)); do
      elapsed=$((elapsed + TICK_SECONDS))
      echo "  ... still $label ($elapsed s)" >&2
    done
  )
  ticker=$!
  # Not "9> >(...)" straight away: bash would keep the process
  # substitution's own descriptor open beside fd 9, and hand it on to the
  # command.
  {
    exec {pipe}>&-
    "$@" 9>&- || status=$?
  } 9>&"$pipe"
  # Waited for, so that no line of it comes after the command's own end.
  wait "$ticker" || true
  return "$status"
}

# Runs a command with its output kept aside; shows that output if it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  ticking "${step_label:-running $1}" output_to "$log" "$@" || status=$?
  if ((status)); then
    cat "$log" >&2
    echo "failed ($status): $*" >&2
  fi
  rm -f "$log"
  return "$status"
}

# output_to FILE COMMAND...: runs the command with its stdout and stderr in
# the file; a function, so that ticking's own lines still reach stderr.
output_to() {
  local file=$1
  shift
  "$@" >"$file" 2>&1
}
