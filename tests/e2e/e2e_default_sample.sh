#!/usr/bin/env bash
# End-to-end: the built program, started in a folder with the default sample and the decode
# script, shows the sample's rows in its tree and ends with status 0 on File, Exit.
# Usage: e2e_default_sample.sh <ostrel> <source dir>
source "$(dirname "$0")/e2e_lib.sh"
OSTREL=$1
SRC=$2
ROWS="$SRC/tests/data/captures/cp2110_serial_over_hid_ut612.rows.txt"

e2e_init default_sample
mkdir -p "$E2E_WORK/run/scripts"
cp "$SRC/default.kvd" "$E2E_WORK/run/"
cp "$SRC/scripts/init.lua" "$E2E_WORK/run/scripts/"

start_app "$E2E_WORK/run" "$OSTREL"
win=$(wait_window "$APP_TITLE")
note "window $win"
png=$(wait_tree start "$win" "$ROWS")
note "tree shows the default sample's first rows: $png"
menu_exit "$win"
wait_exit
