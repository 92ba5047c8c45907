# shellcheck shell=bash disable=SC2034
# Sourced by the windowed tests: a private Xvfb display, the program run from
# the test's scratch folder, windows, screenshots and pixels. Every wait is
# bounded; every process started here is ended on exit.
set -euo pipefail

: "${BOXSIM_BIN:?BOXSIM_BIN must name the boxsim program}"
: "${BOXSIM_SCRATCH:?BOXSIM_SCRATCH must name a scratch folder}"
mkdir -p "$BOXSIM_SCRATCH"
cd "$BOXSIM_SCRATCH"

# LeakSanitizer would fail a clean quit over memory meant to live until exit:
# Mesa's GL buffers, and the bodies, which by design are never freed.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

xvfb_pid=""
app_pid=""
app_status=""

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cleanup() {
  kill ${app_pid:+"$app_pid"} ${xvfb_pid:+"$xvfb_pid"} 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Runs "$@" every 0.1 s until it succeeds or $1 seconds have passed.
wait_until() {
  local tries=$(($1 * 10))
  shift
  while ((tries-- > 0)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# True once process $1 has ended: gone, or a zombie (which kill -0 still sees).
pid_ended() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  [[ "${stat##*) }" == Z* ]]
}

# True when our Xvfb ($2) answers on display $1: the lock file, which Xvfb
# creates atomically with its pid, tells whose server listens there.
xvfb_ready() {
  [[ "$(tr -dc 0-9 2>/dev/null <"/tmp/.X$1-lock")" == "$2" ]] && xdpyinfo -display ":$1"
}

# A display of our own, the first free number from 90 up. (-displayfd makes no
# lock file, so parallel starts could share one.) One test at a time looks: a
# server that loses the race for a number takes the winner's socket with it.
start_xvfb() {
  exec 7>/tmp/boxsim-xvfb-start.lock
  flock -w 120 7 || fail "X display start lock not free within 120 s"
  local n tries
  for n in $(seq 90 140); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    # 7>&-: the server must not hold the start lock for life. -noreset: a
    # reset when the last client leaves refuses a program connecting during it.
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$BOXSIM_SCRATCH/xvfb.log" 2>&1 7>&- &
    xvfb_pid=$!
    for ((tries = 0; tries < 100; ++tries)); do
      if xvfb_ready "$n" "$xvfb_pid" >/dev/null 2>&1; then
        export DISPLAY=":$n"
        exec 7>&-
        return 0
      fi
      pid_ended "$xvfb_pid" && break
      sleep 0.1
    done
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  done
  fail "no free X display from :90 to :140"
}

# A host binds UDP port 1234: a script that starts one holds this lock.
hold_port_lock() {
  exec 9>/tmp/boxsim-port-1234.lock
  flock -w 300 9 || fail "port 1234 lock not free within 300 s"
}

# Starts the program in the background, its output in app.out and app.err.
start_app() {
  "$BOXSIM_BIN" "$@" >"$BOXSIM_SCRATCH/app.out" 2>"$BOXSIM_SCRATCH/app.err" &
  app_pid=$!
}

# Waits (bounded) for the program to end and puts its exit status in
# app_status. (Not for $(...): only this shell can wait for its child.)
wait_app_exit() {
  wait_until "${1:-10}" pid_ended "$app_pid" || fail "program still running after ${1:-10} s"
  app_status=0
  wait "$app_pid" || app_status=$?
  app_pid=""
}

# Ends the program with key $1, which must give status 0.
quit_app() {
  xdotool key "$1"
  wait_app_exit 10
  [[ "$app_status" -eq 0 ]] || fail "'$1' ended the program with status $app_status"
}

# Waits for the window titled "Test" and its first frames; prints its id.
wait_window() {
  wait_until 20 xdotool search --name '^Test$' || fail "no window titled Test within 20 s"
  local wid
  wid=$(xdotool search --name '^Test$' | head -n 1)
  # With no window manager the window sits at (-1, -1), a pixel off screen.
  xdotool windowmove "$wid" 0 0
  sleep 1
  echo "$wid"
}

screenshot() {
  xwd -silent -id "$1" | convert xwd:- "png:$2"
}

# Writes scene file $1: the header, then the records given, the ';' right
# after the last.
write_scene() {
  local file=$1
  shift
  { printf 'test scene\n~\n' && printf '%s\n' "$@" | sed '$ s/$/;/'; } >"$file"
}

# Prints the pixels of an image as "x y r g b" lines, 8 bits per channel.
pixels() {
  convert "$1" -depth 8 txt:- | awk -F '[,:() ]+' 'NR > 1 { print $1, $2, $3, $4, $5 }'
}

# Number of pixels lit in the body colour (0.5, 0.5, 1.0): blue clearly above
# red and green, which stay about equal.
count_body_pixels() {
  pixels "$1" | awk '$5 > $3 + 40 && $5 > $4 + 40 && ($3 - $4) < 20 && ($4 - $3) < 20 { c++ } END { print c + 0 }'
}
