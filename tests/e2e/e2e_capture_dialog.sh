#!/usr/bin/env bash
# End-to-end: the capture dialog on the probe simulator, driven by real key presses. Escape closes
# the dialog after its first tick has disabled the button that held the focus; the footer says
# "Initializing..." while the probe starts, never that it is not found, and then "Hardware
# Initialized OK"; digits typed into the buffer box after a capture (which writes it as 2_048)
# are taken where they are typed.
# Usage: e2e_capture_dialog.sh <ostrel> <source dir> <simulated libusb dir> <footer_ref> <xselection> <wmclose>
source "$(dirname "$0")/e2e_lib.sh"
OSTREL=$1
SRC=$2
SIMLIB=$3
FOOTER_REF=$4
XSELECTION=$5
WMCLOSE=$6
CAPTURE="$SRC/tests/data/captures/cp2102_setup_with_outdata_nak"
DIALOG="USB Packet Sniffer"

e2e_init capture_dialog
mkdir -p "$E2E_WORK/run/scripts"
cp "$SRC/scripts/init.lua" "$E2E_WORK/run/scripts/"

# ---- the footer's status line, read from screenshots ----
# The footer is the dark (#444444) area at the bottom of its window; its status line is the first
# band of rows in it that hold anything but the background. status_line <png> <window> <out.png>
# writes that band, trimmed to its ink.
status_line() {
  local WX WY WW WH foot band top height
  geometry "$2"
  foot=$(pixels "$1" 1 "$WH" $((WX + 3)) "$WY" | awk '$3 == "#444444" { print $2; exit }')
  [[ -n $foot ]] || return 1
  band=$(pixels "$1" "$WW" $((WH - foot)) "$WX" $((WY + foot)) | awk '
    $3 != "#444444" { ink[$2] = 1 }
    END { for (y = 0; !(y in ink) && y < 1000; y++); a = y; for (; y in ink; y++); if (a < 1000) print a, y - a }')
  [[ -n $band ]] || return 1
  read -r top height <<<"$band"
  convert "$1" +repage -crop "${WW}x${height}+${WX}+$((WY + foot + top))" +repage -trim +repage "$3"
}

# Reference renderings: the footer's own code draws each status text in this X server.
REF_TEXTS=("Initializing..." "Hardware Initialized OK" "Sniffer hardware not found")
REF_NAMES=(initializing ok not_found)
"$FOOTER_REF" "${REF_TEXTS[@]}" >"$E2E_ART/footer_ref.out" 2>&1 &
REF_PID=$!
for i in "${!REF_TEXTS[@]}"; do
  ref_win=$(wait_window "footer: ${REF_TEXTS[$i]}")
  poll "$E2E_TIMEOUT" status_line "$(shot "reference_${REF_NAMES[$i]}")" "$ref_win" "$E2E_ART/ref_${REF_NAMES[$i]}.png" ||
    fail "no status line in the reference rendering of '${REF_TEXTS[$i]}'"
done
kill "$REF_PID"
wait "$REF_PID" 2>/dev/null || true

# footer_reads <png> <dialog window>: prints the name of the reference text that the dialog's
# status line shows, or "unknown".
footer_reads() {
  local line="$E2E_WORK/status.png" name diff
  status_line "$1" "$2" "$line" || { echo unknown; return; }
  for name in "${REF_NAMES[@]}"; do
    [[ $(identify -format %wx%h "$line") == $(identify -format %wx%h "$E2E_ART/ref_$name.png") ]] || continue
    diff=$(compare -metric AE "$line" "$E2E_ART/ref_$name.png" null: 2>&1 || true)
    [[ $diff == 0 ]] && { echo "$name"; return; }
  done
  echo unknown
}

# ---- the buffer-size box ----
# text_box <png> <dialog window>: prints the screen position of the middle of the buffer box, the
# first white area down the middle of the dialog.
text_box() {
  local WX WY WW WH rows top bottom
  geometry "$2"
  rows=$(pixels "$1" 1 "$WH" $((WX + WW / 2)) "$WY" | awk '
    $3 == "#FFFFFF" { if (!top) top = $2; if (!end) bottom = $2; next }
    top { end = 1 }
    END { if (top) print top, bottom }')
  [[ -n $rows ]] || return 1
  read -r top bottom <<<"$rows"
  echo "$((WX + WW / 2)) $((WY + (top + bottom) / 2))"
}
# box_reads <text>: true when the box, which has the keyboard focus, holds that text as copy and
# paste get it (Ctrl+A, Ctrl+C); sets BOX_TEXT. The caret then goes back to the end of the text.
box_reads() {
  xdotool key --clearmodifiers ctrl+a ctrl+c
  BOX_TEXT=$("$XSELECTION" CLIPBOARD || true)
  xdotool key End
  [[ $BOX_TEXT == "$1" ]]
}

# ---- the program ----
export LD_LIBRARY_PATH="$SIMLIB${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# The probe's first start (firmware download, restart, second enumeration) takes seconds, so the
# first tick, 300 ms after the dialog opened, and the screenshot after it come well before its end.
export PROBESIM_SCENARIO="reenum_delay_ms = 1000;[probe];serial = E2E-0002;capture_file = $CAPTURE.raw"
export PROBESIM_LOG="$E2E_ART/probesim.log"
start_app "$E2E_WORK/run" "$OSTREL"
win=$(wait_window "$APP_TITLE")

# open_dialog: File, Capture; the new dialog gets the keyboard focus, as a window manager gives it.
open_dialog() {
  xdotool windowfocus --sync "$win"
  xdotool key --clearmodifiers alt+f
  poll "$E2E_TIMEOUT" menu_open || fail "the File menu did not open"
  xdotool key c
  dlg=$(wait_window "$DIALOG")
  xdotool windowfocus --sync "$dlg"
  poll "$E2E_TIMEOUT" dialog_buttons "$(shot dialog)" "$dlg" || fail "no button row found in the capture dialog"
}
dialog_gone() { ! find_window "$DIALOG" >/dev/null; }

# First opening: the first tick (300 ms after the dialog opened) finds the probe still starting:
# it disables Start and Connect (which held the focus), and the footer keeps "Initializing...".
open_dialog
start_disabled() { png=$(shot first_tick) && ! label_dark "$png" "$START_X" "$BTN_Y"; }
poll "$E2E_TIMEOUT" start_disabled || fail "Start was never disabled (screenshot $png)"
seen=$(footer_reads "$png" "$dlg")
[[ $seen == initializing ]] || fail "after the first tick the footer reads '$seen', not 'Initializing...' ($png)"
note "first tick: Start disabled, the footer reads Initializing..."
xdotool key Escape
poll "$E2E_TIMEOUT" dialog_gone || fail "Escape did not close the dialog after its first tick ($(shot escape))"
note "Escape closed the dialog"

# Second opening: every footer seen until the probe is ready reads "Initializing...", then
# "Hardware Initialized OK".
open_dialog
seen_before=""
probe_ready() {
  local png
  png=$(shot waiting)
  seen=$(footer_reads "$png" "$dlg")
  if [[ $seen == ok ]]; then
    label_dark "$png" "$START_X" "$BTN_Y"
    return
  fi
  [[ $seen == initializing ]] || seen_before+="$seen ($png) "
  return 1
}
poll "$E2E_TIMEOUT" probe_ready || fail "the footer never read 'Hardware Initialized OK' with Start enabled (last: $seen)"
[[ -z $seen_before ]] || fail "while the probe started the footer read: $seen_before"
note "the footer read Initializing..., then Hardware Initialized OK"

# The box: 2048 typed in, a capture, and the box reads 2_048.
box=$(text_box "$(shot ready)" "$dlg") || fail "no buffer box found ($E2E_ART/ready.png)"
read -r BOX_X BOX_Y <<<"$box"
click "$BOX_X" "$BOX_Y"
xdotool key --clearmodifiers ctrl+a
xdotool type --delay 50 2048
click "$START_X" "$BTN_Y"
captured() { png=$(shot captured) && label_dark "$png" "$OK_X" "$BTN_Y"; }
poll "$E2E_TIMEOUT" captured || fail "the capture did not finish (screenshot $png, log $PROBESIM_LOG)"
# The copy reaches the clipboard a moment after the keys: each reading is tried for a while.
click "$BOX_X" "$BOX_Y"
poll 10 box_reads 2_048 || fail "after the capture the box reads '$BOX_TEXT', not 2_048"
note "after the capture the box reads 2_048"
xdotool key 1
poll 10 box_reads 2_0481 || fail "a 1 typed at the end of 2_048 gives '$BOX_TEXT'"
xdotool key BackSpace 9
poll 10 box_reads 2_0489 || fail "BackSpace and 9 typed at the end of 2_0481 give '$BOX_TEXT'"
note "typed at the end: 2_0481, then 2_0489"

xdotool key Escape
poll "$E2E_TIMEOUT" dialog_gone || fail "Escape did not close the dialog after a capture"
"$WMCLOSE" "$win"
wait_exit
