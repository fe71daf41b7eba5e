#!/usr/bin/env bash
# End-to-end: the built program on the probe simulator. A capture run through the capture dialog
# with the mouse and keyboard, as a user runs it, brings the captured traffic's rows into the
# tree, which was empty; the window's close box then ends the program with status 0.
# Usage: e2e_capture.sh <ostrel> <source dir> <simulated libusb dir> <wmclose>
source "$(dirname "$0")/e2e_lib.sh"
OSTREL=$1
SRC=$2
SIMLIB=$3
WMCLOSE=$4
CAPTURE="$SRC/tests/data/captures/cp2102_setup_with_outdata_nak"

e2e_init capture
mkdir -p "$E2E_WORK/run/scripts"
cp "$SRC/scripts/init.lua" "$E2E_WORK/run/scripts/"

# One probe on the bus that streams the recording, then an idle bus, once a capture starts.
export LD_LIBRARY_PATH="$SIMLIB${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PROBESIM_SCENARIO="reenum_delay_ms = 300;[probe];serial = E2E-0001;capture_file = $CAPTURE.raw"
export PROBESIM_LOG="$E2E_ART/probesim.log"
start_app "$E2E_WORK/run" "$OSTREL"
win=$(wait_window "$APP_TITLE")
png=$(shot before)
tree_blank "$png" "$win" || fail "the tree shows rows before any capture ($png)"
note "no default sample: the tree is empty"

# File, Capture.
xdotool windowfocus --sync "$win"
xdotool key --clearmodifiers alt+f
poll "$E2E_TIMEOUT" menu_open || fail "the File menu did not open"
xdotool key c
dlg=$(wait_window "USB Packet Sniffer")
note "capture dialog $dlg"
poll "$E2E_TIMEOUT" dialog_buttons "$(shot dialog)" "$dlg" || fail "no button row found in the capture dialog"

# Start once the probe is ready (Start enabled); OK once the decode is done (OK enabled). Start is
# pressed again only if it was seen disabled since the last press (a press while the dialog turns
# to its error state is lost; one made in a waiting state is kept).
started=0
run_capture() {
  local png
  find_window "USB Packet Sniffer" >/dev/null || return 0
  png=$(shot dialog)
  if label_dark "$png" "$OK_X" "$BTN_Y"; then
    click "$OK_X" "$BTN_Y"
    note "OK"
    poll "$E2E_TIMEOUT" bash -c "! xdotool search --onlyvisible --name '^USB Packet Sniffer\$' >/dev/null"
    return
  fi
  if label_dark "$png" "$START_X" "$BTN_Y"; then
    if ((!started)); then
      click "$START_X" "$BTN_Y"
      started=1
      note "Start"
    fi
  else
    started=0
  fi
  return 1
}
poll "$E2E_TIMEOUT" run_capture || fail "the capture did not finish (screenshot $E2E_ART/dialog.png, log $PROBESIM_LOG)"
grep -q "capture start" "$PROBESIM_LOG" || fail "the probe never started a capture"

png=$(wait_tree after "$win" "$CAPTURE.rows.txt")
note "the tree shows the captured rows: $png"

"$WMCLOSE" "$win"
wait_exit
