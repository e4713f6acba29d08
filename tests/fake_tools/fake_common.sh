# Shared by the test stand-ins for outside programs: each records its command line in the file
# named by VEK_CALLS and fails on demand when VEK_FAULT names its step (VEK_FAULT may hold
# several such faults, separated by blanks):
#   VEK_FAULT=STEP:exit:N   exit with code N
#   VEK_FAULT=STEP:signal   die by SIGKILL together with the shell that started it
# Steps: flashrom-read, flashrom-write (from the working image), flashrom-restore (a write from
# any other file), cbfstool-remove, cbfstool-add, cp. A flashrom write can also be cut short:
#   VEK_FAULT=STEP:partial-exit:N, STEP:partial-signal   write part of the blocks that differ
#   (see flashrom_cut_write), then fail as exit:N or signal does
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

# Writes part of the region that the layout (-l FILE -i REGION) names from the file (the last
# argument) to the chip, as a write cut short would leave it.
flashrom_cut_write() {
  python3 - "$chip" "$@" <<'CUT'
import sys
chip, arguments = sys.argv[1], sys.argv[2:]
layout, region, image = arguments[arguments.index("-l") + 1], arguments[arguments.index("-i") + 1], arguments[-1]
BLOCK = 4096
for line in open(layout):
    bounds, name = line.split()[:2]
    if name == region:
        start, end = (int(bound, 16) for bound in bounds.split(":"))
with open(image, "rb") as source:
    source.seek(start)
    new = source.read(end + 1 - start)
with open(chip, "r+b") as target:
    target.seek(start)
    old = target.read(end + 1 - start)
    differing = [b for b in range(0, len(new), BLOCK) if new[b:b + BLOCK] != old[b:b + BLOCK]]
    written = len(differing) // 2
    for b in differing[:written]:
        target.seek(start + b)
        target.write(new[b:b + BLOCK])
    if written < len(differing):
        # Erased, then programmed from its start up to the middle, or short of the middle so
        # that it is neither the old block nor the new one (the rest of a block is often erased).
        b = differing[written]
        old_block, new_block = old[b:b + BLOCK], new[b:b + BLOCK]
        for cut in range(BLOCK // 2, 0, -1):
            state = new_block[:cut] + b"\xff" * (BLOCK - cut)
            if state != new_block and state != old_block:
                target.seek(start + b)
                target.write(state)
                break
CUT
}

# For both flashrom stand-ins. Refuses a run without the emulated chip of VEK_TEST_CHIP.
flashrom_refuse() {
  echo "flashrom test wrapper: $1; refusing to run" >&2
  exit 99
}

# Checks the chip, then sets `step` and `file` (the image, which comes last), waits and fails on
# demand; a write cut short programs half the region first.
flashrom_start() {
  chip=${VEK_TEST_CHIP:-}
  [ -n "$chip" ] || flashrom_refuse "VEK_TEST_CHIP does not name an emulated chip image"
  [ -f "$chip" ] || flashrom_refuse "emulated chip image $chip is missing"
  # flashrom's dummy programmer emulates a W25Q128FV, a chip of 16 MiB.
  [ "$(wc -c <"$chip")" -eq $((16 << 20)) ] || flashrom_refuse "emulated chip image $chip is not 16 MiB"

  step=flashrom
  for argument in "$@"; do
    case "$argument" in
    -r) step=flashrom-read ;;
    -w) step=flashrom-write ;;
    esac
    file=$argument
  done
  # A write from any file but the working image is the restore of the journal's region.
  case "$step:$file" in
  flashrom-write:*/flash_backup.bin) ;;
  flashrom-write:*) step=flashrom-restore ;;
  esac
  fake_wait_on_demand "$step"
  fault=$(fake_faults_of "$step")
  case "$fault" in
  partial-*)
    # Cut short as flashrom's own write would be: of the 4 KiB blocks of the region that differ
    # between the chip and the file, the first half written, the next erased and partly
    # programmed (for a write of the record alone, the record's own block), the others untouched.
    flashrom_cut_write "$@" || flashrom_refuse "cannot cut the write short"
    VEK_FAULT="$step:${fault#partial-}"
    ;;
  esac
  fake_fail_on_demand "$step"
}
