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
  [ "$(wc -c <"$chip")" -eq 16777216 ] || flashrom_refuse "emulated chip image $chip is not 16 MiB"

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
    # 0xC00000 is block 192 of 64 KiB; the coreboot region is 64 blocks. The upper half, which
    # holds the record, is programmed, so the chip still reads as a record of some content.
    {
      head -c 2097152 /dev/zero | tr '\000' '\377'
      dd if="$file" bs=64k skip=224 count=32 status=none
    } | dd of="$chip" bs=64k seek=192 conv=notrunc iflag=fullblock status=none
    VEK_FAULT="$step:${fault#partial-}"
    ;;
  esac
  fake_fail_on_demand "$step"
}
