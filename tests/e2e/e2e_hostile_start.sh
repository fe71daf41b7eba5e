#!/usr/bin/env bash
# End-to-end: the built program started on hostile files comes up all the same. A FIFO as the
# default sample gives the window, an empty tree and the message that the file holds no readable
# rows. A decode script that loops or allocates without end while it loads, or allocates without
# end in a row's decode, gives the window with the sample's rows, and "Error: " on standard error
# for the script that failed to load; so does a FIFO as the decode script. Each run ends with status 0 on File, Exit.
# Usage: e2e_hostile_start.sh <ostrel> <source dir>
source "$(dirname "$0")/e2e_lib.sh"
OSTREL=$1
SRC=$2
ROWS="$SRC/tests/data/captures/cp2110_serial_over_hid_ut612.rows.txt"
GROW='local t = {} while true do t[#t + 1] = {} end'

e2e_init hostile_start
run="$E2E_WORK/run"
mkdir -p "$run/scripts"

# run_case <name> <script, empty: the shipped one>: starts the program on the default sample
# with that decode script and waits for its window and rows; prints how long they took.
run_case() {
  local name=$1 script=$2 t0=$SECONDS win
  cp "$SRC/default.kvd" "$run/"
  if [[ -n $script ]]; then printf '%s\n' "$script" >"$run/scripts/init.lua"; else cp "$SRC/scripts/init.lua" "$run/scripts/"; fi
  start_app "$run" "$OSTREL"
  win=$(wait_window "$APP_TITLE")
  wait_tree "$name" "$win" "$ROWS" >/dev/null
  note "$name: window and rows after $((SECONDS - t0)) s"
  menu_exit "$win"
  wait_exit
  cp "$E2E_ART/ostrel.out" "$E2E_ART/$name.out"
}

run_case load_loop 'while true do end'
grep -q '^Error: .*stopped after' "$E2E_ART/load_loop.out" || fail "no error for the loop at load: $(cat "$E2E_ART/load_loop.out")"
run_case load_allocation "$GROW"
grep -q '^Error: not enough memory' "$E2E_ART/load_allocation.out" || fail "no error for the allocation at load: $(cat "$E2E_ART/load_allocation.out")"
# The shipped script with every transaction's decode allocating without end.
run_case decode_allocation "$(cat "$SRC/scripts/init.lua")
function transaction_decode(t) $GROW end"

# A FIFO as the decode script: the window and the sample's rows come all the same.
rm "$run/scripts/init.lua"
mkfifo "$run/scripts/init.lua"
cp "$SRC/default.kvd" "$run/"
t0=$SECONDS
start_app "$run" "$OSTREL"
win=$(wait_window "$APP_TITLE")
wait_tree script_fifo "$win" "$ROWS" >/dev/null
grep -q '^Error: cannot read ./scripts/init.lua: not a regular file' "$E2E_ART/ostrel.out" ||
  fail "no error for a FIFO as the script: $(cat "$E2E_ART/ostrel.out")"
note "a FIFO as the decode script: window and rows after $((SECONDS - t0)) s"
menu_exit "$win"
wait_exit
rm "$run/scripts/init.lua"

rm "$run/default.kvd"
mkfifo "$run/default.kvd"
cp "$SRC/scripts/init.lua" "$run/scripts/"
start_app "$run" "$OSTREL"
win=$(wait_window "$APP_TITLE")
png=$(shot fifo)
tree_blank "$png" "$win" || fail "the tree shows rows for a FIFO as the default sample ($png)"
grep -q 'default.kvd holds no readable rows' "$E2E_ART/ostrel.out" || fail "no message about the default sample: $(cat "$E2E_ART/ostrel.out")"
note "a FIFO as the default sample: an empty tree and the message"
menu_exit "$win"
wait_exit
