# End-to-end test helpers: a private X server, the program started as a user starts it, its
# windows found, screenshots read for the rows of the tree, and synthesized input.
# Sourced by the e2e_*.sh tests; every wait polls with a deadline.

set -euo pipefail

E2E_TIMEOUT=${KV_E2E_TIMEOUT:-120}   # seconds for any one wait (wide: sanitizer builds under load)
SCREEN_SIZE=1600x1200x24
APP_TITLE="Korvane Ostrel"

# Box fill colours of a row's left box, by what the row is.
declare -A FILL_CLASS=(
  ["#008000"]=transfer      # GREEN
  ["#90EE90"]=transaction   # LIGHTGREEN
  ["#F0FFFF"]=packet        # AZURE (packets and SOF runs)
  ["#800080"]=reset         # PURPLE
)
E2E_XVFB_PID=""
E2E_APP_PID=""

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

note() { echo "--- $*"; }

# poll <seconds> <command...>: runs the command until it succeeds; false when the time is up.
poll() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

e2e_cleanup() {
  local rc=$?
  # Only a failed test leaves the program running; it is stopped so the X server can go.
  if [[ -n $E2E_APP_PID ]] && kill -0 "$E2E_APP_PID" 2>/dev/null; then
    kill "$E2E_APP_PID" 2>/dev/null || true
    wait "$E2E_APP_PID" 2>/dev/null || true
  fi
  if [[ -n $E2E_XVFB_PID ]]; then
    kill "$E2E_XVFB_PID" 2>/dev/null || true
    wait "$E2E_XVFB_PID" 2>/dev/null || true
  fi
  [[ -n ${E2E_WORK:-} ]] && rm -rf "$E2E_WORK"
  if ((rc != 0)) && [[ -n ${E2E_ART:-} ]]; then
    echo "screenshots and program output: $E2E_ART" >&2
  fi
  exit "$rc"
}

# e2e_init <name>: work directory, artefact directory (kept for a person to look at) and an X
# server of the test's own, so tests running side by side never see each other's windows.
e2e_init() {
  local name=$1
  for tool in Xvfb xdotool import convert; do
    command -v "$tool" >/dev/null || fail "$tool is missing (make deps installs it)"
  done
  E2E_ART="${KV_E2E_ARTEFACTS:?}/$name"
  rm -rf "$E2E_ART"
  mkdir -p "$E2E_ART"
  E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-$name.XXXXXX")
  trap e2e_cleanup EXIT
  Xvfb -displayfd 3 -screen 0 "$SCREEN_SIZE" -nolisten tcp 3>"$E2E_WORK/display" 2>"$E2E_ART/xvfb.log" &
  E2E_XVFB_PID=$!
  poll 30 test -s "$E2E_WORK/display" || fail "the X server did not start (see $E2E_ART/xvfb.log)"
  DISPLAY=":$(head -n1 "$E2E_WORK/display")"
  export DISPLAY
  note "X server on $DISPLAY"
}

# start_app <directory> <command...>: starts the program in that working directory.
start_app() {
  local dir=$1
  shift
  (cd "$dir" && exec "$@") >"$E2E_ART/ostrel.out" 2>&1 &
  E2E_APP_PID=$!
}

app_running() { kill -0 "$E2E_APP_PID" 2>/dev/null; }

# find_window <title>: prints the id of the visible window with exactly that title.
find_window() {
  xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 | grep .
}

# wait_window <title>: waits for the window and prints its id.
wait_window() {
  local id
  poll "$E2E_TIMEOUT" find_window "$1" >/dev/null || {
    app_running || fail "the program ended before its window '$1' came (output: $(cat "$E2E_ART/ostrel.out"))"
    fail "no window '$1' within ${E2E_TIMEOUT}s"
  }
  id=$(find_window "$1")
  echo "$id"
}

# shot <name>: screenshot of the whole screen into the artefacts; prints its path.
shot() {
  local file="$E2E_ART/$1.png"
  import -window root "$file"
  echo "$file"
}

# geometry <window>: sets WX WY WW WH (screen position and size of the window).
geometry() {
  local X Y WIDTH HEIGHT WINDOW SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  WX=$X WY=$Y WW=$WIDTH WH=$HEIGHT
}

# pixels <png> <w> <h> <x> <y>: "x y #RRGGBB" for every pixel of that part of the image.
pixels() {
  convert "$1" +repage -crop "$2x$3+$4+$5" +repage -depth 8 txt:- |
    awk 'NR > 1 { split($1, p, /[,:]/); print p[1], p[2], $3 }'
}

# tree_boxes <png> <window>: the left boxes of the rows the tree shows, top first, as
# "<class> <y>" (y of the box's top line, in the window). A strip just inside the left edge of
# the rows is read: the fill colour that covers most of a pixel line names the row's class, and
# a box is two runs of it (upper and lower text line) split by the black middle line.
tree_boxes() {
  local png=$1 WX WY WW WH classes=""
  geometry "$2"
  for c in "${!FILL_CLASS[@]}"; do classes+="$c=${FILL_CLASS[$c]} "; done
  pixels "$png" 40 "$WH" $((WX + 14)) "$WY" | awk -v classes="$classes" '
    BEGIN { n = split(classes, kv, " "); for (i = 1; i <= n; i++) { split(kv[i], p, "="); cls[p[1]] = p[2] } }
    { if ($3 in cls) count[$2, cls[$3]]++; maxy = $2 }
    END {
      prev = "-"; runs = 0
      for (y = 0; y <= maxy; y++) {
        best = "-"; bestn = 8
        for (c in cls) if (count[y, cls[c]] > bestn) { best = cls[c]; bestn = count[y, cls[c]] }
        if (best != prev && best != "-") { runs++; rc[runs] = best; ry[runs] = y }
        prev = best
      }
      for (i = 1; i <= runs; i++)
        if (i < runs && rc[i] == rc[i + 1]) { print rc[i], ry[i]; i++ }
    }'
}

# expected_boxes <rows.txt> <n>: the classes of the first n rows the tree shows at start (SOFs
# and NAKed transactions hidden, packets shown), from a flat row list in sample-file lines.
expected_boxes() {
  awk -v n="$2" '
    { line[NR] = $0; sub(/^ +/, "", $0); split($0, f, ";"); depth[NR] = f[1] + 0; kind[NR] = substr(f[2], 1, 1)
      pid[NR] = f[2]; sub(/^.:/, "", pid[NR]) }
    END {
      shown = 0
      for (i = 1; i <= NR && shown < n; i++) {
        if (kind[i] == "S" || kind[i] == "G") continue
        if (kind[i] == "T") {
          nak = 0
          for (j = i + 1; j <= NR && depth[j] > depth[i]; j++) if (kind[j] == "H" && pid[j] == 10) nak = 1
          if (nak) { i = j - 1; continue }
        }
        if (kind[i] == "C") c = "transfer"; else if (kind[i] == "T") c = "transaction"
        else if (kind[i] == "Y") c = "reset"; else c = "packet"
        print c; shown++
      }
    }' "$1"
}

# tree_shows <png> <window> <rows.txt>: true when the tree shows at least 10 rows, each left box
# in the colour of the expected row, at one row height from the one before.
tree_shows() {
  local boxes seen want n
  boxes=$(tree_boxes "$1" "$2")
  n=$(grep -c . <<<"$boxes" || true)
  ((n >= 10)) || return 1
  # The last row may be cut by the bottom of the pane.
  n=$((n - 1))
  seen=$(head -n "$n" <<<"$boxes" | cut -d' ' -f1)
  want=$(expected_boxes "$3" "$n")
  [[ $seen == "$want" ]] || return 1
  head -n "$n" <<<"$boxes" | awk 'NR == 2 { h = $2 - y } NR > 2 && $2 - y != h { bad = 1 } { y = $2 } END { exit bad || h < 10 }'
}

# wait_tree <shot name> <window> <rows.txt>: waits until the tree shows those rows; prints the
# screenshot's path. A failure shows what was seen and what was expected.
wait_tree() {
  local png
  # shellcheck disable=SC2317
  check() { png=$(shot "$1") && tree_shows "$png" "$2" "$3"; }
  if ! poll "$E2E_TIMEOUT" check "$@"; then
    echo "seen (class, y):" >&2
    tree_boxes "$png" "$2" | head -n 20 >&2
    echo "expected:" >&2
    expected_boxes "$3" 20 >&2
    fail "the tree does not show the expected rows (screenshot $png)"
  fi
  echo "$png"
}

# tree_blank <png> <window>: true when no row box is drawn in the tree.
tree_blank() { [[ -z $(tree_boxes "$1" "$2") ]]; }

# menu_exit <window>: File, Exit through the keyboard, as a user does it.
menu_exit() {
  xdotool windowfocus --sync "$1"
  xdotool key --clearmodifiers alt+f
  # The menu takes the keyboard once it is open; a key before that would go to the window.
  poll "$E2E_TIMEOUT" menu_open || fail "the File menu did not open"
  xdotool key e
}
menu_open() { [[ $(xdotool search --onlyvisible --pid "$E2E_APP_PID" 2>/dev/null | wc -l) -gt 1 ]]; }

# wait_exit: waits for the program to end by itself and checks its exit status is 0.
wait_exit() {
  local rc=0
  poll "$E2E_TIMEOUT" bash -c "! kill -0 $E2E_APP_PID 2>/dev/null" || fail "the program did not end after Exit"
  wait "$E2E_APP_PID" || rc=$?
  E2E_APP_PID=""
  ((rc == 0)) || fail "the program ended with status $rc (output: $(cat "$E2E_ART/ostrel.out"))"
  note "program ended with status 0"
}

# click <x> <y>: a left click at a screen position.
click() { xdotool mousemove --sync "$1" "$2" click 1; }

# min_grey <png> <x> <y>: the darkest grey level (0 black .. 1 white) around a point: a button's
# label is dark when the button is enabled and light grey when it is disabled.
min_grey() {
  convert "$1" +repage -crop "40x14+$(($2 - 20))+$(($3 - 7))" +repage -colorspace Gray -format '%[fx:minima]' info:
}
label_dark() { awk -v g="$(min_grey "$@")" 'BEGIN { exit !(g < 0.4) }'; }

# dialog_buttons <png> <dialog window>: sets BTN_Y (screen y of the row of Cancel, Start and OK)
# and START_X, OK_X. The row sits between the dialog's last separator line and its dark footer;
# the control page is 525 pixels wide with three 133-pixel buttons spread evenly, Start centred.
dialog_buttons() {
  local WX WY WW WH rows
  geometry "$2"
  rows=$(pixels "$1" 1 "$WH" $((WX + WW / 2 - 45)) "$WY" | awk '
    $3 == "#444444" && !foot { foot = $2 }
    $3 == "#C0C0C0" && !foot { sep = $2 }
    END { if (foot && sep) print sep, foot }')
  [[ -n $rows ]] || return 1
  read -r sep foot <<<"$rows"
  BTN_Y=$((WY + (sep + foot) / 2))
  START_X=$((WX + WW / 2))
  OK_X=$((START_X + 170))
}
