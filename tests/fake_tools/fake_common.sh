# Shared by the test stand-ins for outside programs: each records its command line in the file
# named by VEK_CALLS and fails on demand when VEK_FAULT names its step:
#   VEK_FAULT=STEP:exit:N   exit with code N
#   VEK_FAULT=STEP:signal   die by SIGKILL together with the shell that started it
# Steps: flashrom-read, flashrom-write, cbfstool-remove, cbfstool-add, cp.
# Each also stops on demand, so a test can act while its step runs:
#   VEK_HOLD=STEP:FIFO      create FIFO.started, then wait until the test opens the FIFO for
#                           writing (tests/test_support.h: held_step)
#   VEK_SLOW=STEP:SECONDS   sleep that long before doing the step (a plain wait: VEK_HOLD
#                           proves the same without the time)
# VEK_STAND_INS names the stand-ins' folder when set, sparing them the look-up of their links.
# The real programs are found on the system's own path (set by each stand-in before it
# sources this file), never on the tests' one.
export PATH

fake_record() {
  if [ -n "${VEK_CALLS:-}" ]; then
    printf '%s\n' "$*" >>"$VEK_CALLS"
  fi
}

fake_wait_on_demand() {
  case "${VEK_HOLD:-}" in
  "$1:"*)
    fifo=${VEK_HOLD#"$1:"}
    : >"$fifo.started"
    # Opening a FIFO for reading returns once a writer opens it: the test's release. (read is
    # no special built-in, so a FIFO already gone does not end the shell.)
    read -r _ <"$fifo" || :
    ;;
  esac
  case "${VEK_SLOW:-}" in
  "$1:"*)
    sleep "${VEK_SLOW##*:}"
    ;;
  esac
}

fake_fail_on_demand() {
  fake_wait_on_demand "$1"
  case "${VEK_FAULT:-}" in
  "$1:exit:"*)
    exit "${VEK_FAULT##*:}"
    ;;
  "$1:signal")
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

# The step of a flashrom command line: flashrom-read for -r, flashrom-write for -w.
flashrom_step() {
  step=flashrom
  for argument in "$@"; do
    case "$argument" in
    -r) step=flashrom-read ;;
    -w) step=flashrom-write ;;
    esac
  done
  echo "$step"
}

# Refuses, for either flashrom stand-in, a run without the emulated chip of VEK_TEST_CHIP.
flashrom_refuse() {
  echo "flashrom test wrapper: $1; refusing to run" >&2
  exit 99
}

flashrom_check_chip() {
  chip=${VEK_TEST_CHIP:-}
  [ -n "$chip" ] || flashrom_refuse "VEK_TEST_CHIP does not name an emulated chip image"
  [ -f "$chip" ] || flashrom_refuse "emulated chip image $chip is missing"
  [ "$(wc -c <"$chip")" -eq 16777216 ] || flashrom_refuse "emulated chip image $chip is not 16 MiB"
}
