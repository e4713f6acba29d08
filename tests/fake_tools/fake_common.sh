# Shared by the test stand-ins for outside programs: each records its command line in the file
# named by VEK_CALLS and fails on demand when VEK_FAULT names its step (VEK_FAULT may hold
# several such faults, separated by blanks):
#   VEK_FAULT=STEP:exit:N   exit with code N
#   VEK_FAULT=STEP:signal   die by SIGKILL together with the shell that started it
# Steps: flashrom-read, flashrom-write (from the working image), flashrom-restore (a write from
# any other file), cbfstool-remove, cbfstool-add, cp. A flashrom write can also be cut short:
#   VEK_FAULT=STEP:partial-exit:N, STEP:partial-signal   erase the lower half of the coreboot
#   region, program its upper half (with the record) from the file, then fail as exit:N or
#   signal does
# flashrom also waits on demand, so a test can act while its step runs:
#   VEK_SLOW=STEP:SECONDS   sleep that long before doing the step
# The real programs are found on the system's own path (set by each stand-in before it
# sources this file), never on the tests' one.
export PATH

fake_record() {
  if [ -n "${VEK_CALLS:-}" ]; then
    printf '%s\n' "$*" >>"$VEK_CALLS"
  fi
}

fake_slow_on_demand() {
  case "${VEK_SLOW:-}" in
  "$1:"*)
    sleep "${VEK_SLOW##*:}"
    ;;
  esac
}

# The faults of VEK_FAULT for step $1, with their step name taken off, one a line.
fake_faults_of() {
  for fault in ${VEK_FAULT:-}; do
    case "$fault" in
    "$1:"*) printf '%s\n' "${fault#"$1:"}" ;;
    esac
  done
}

fake_fail_on_demand() {
  fault=$(fake_faults_of "$1")
  case "$fault" in
  exit:*)
    exit "${fault#exit:}"
    ;;
  signal)
    # The shell that system() started waits for us; kill it too so the tool sees a signal,
    # but only when our parent really is that shell.
    parent=$(cat "/proc/$PPID/comm" 2>/dev/null)
    if [ "$parent" = sh ] || [ "$parent" = dash ]; then
      kill -KILL "$PPID"
    fi
    kill -KILL $$
    ;;
  esac
}
