# shellcheck shell=bash disable=SC2034
# Shared by the windowed tests (sourced, not a test itself): a private Xvfb
# display, the program started from the test's own scratch folder, window
# look-ups, screenshots and pixel counts. Every wait is bounded, and every
# process started here is ended on exit.
set -euo pipefail

: "${BOXSIM_BIN:?BOXSIM_BIN must name the boxsim program}"
: "${BOXSIM_SCRATCH:?BOXSIM_SCRATCH must name a scratch folder}"
mkdir -p "$BOXSIM_SCRATCH"
cd "$BOXSIM_SCRATCH"

# Under the sanitizer build LeakSanitizer would turn a clean quit's status into
# failure over memory that is meant to live until the process ends: Mesa's GL
# and GLX buffers (not ours), and the bodies, which by design are never freed
# (exit() destroys the list that points to them, leaving them unreachable).
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

xvfb_pid=""
app_pid=""

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cleanup() {
  if [[ -n "$app_pid" ]]; then kill "$app_pid" 2>/dev/null || true; fi
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Runs "$@" every 0.1 s until it succeeds or $1 seconds have passed.
wait_until() {
  local limit=$1
  shift
  local tries=$((limit * 10))
  while ((tries-- > 0)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# True once process $1 has ended: gone, or a zombie waiting to be reaped
# (which kill -0 would still report as alive).
pid_ended() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  [[ "${stat##*) }" == Z* ]]
}

# True when our Xvfb ($2) owns display $1 and answers on it. The lock file,
# which Xvfb creates atomically and fills with its pid, tells whose server
# listens there.
xvfb_ready() {
  [[ "$(tr -dc 0-9 2>/dev/null <"/tmp/.X$1-lock")" == "$2" ]] && xdpyinfo -display ":$1"
}

# A display of our own: the first free number from 90 up. Two tests that try
# the same number at once are told apart by Xvfb's lock file: the loser's
# server exits and it tries the next number. (Xvfb -displayfd would pick a
# number itself, but without a lock file, so parallel starts can share one.)
start_xvfb() {
  # Only one test at a time looks for a free number: a server that loses the
  # race for a display can take the winner's socket with it as it exits.
  exec 7>/tmp/boxsim-xvfb-start.lock
  flock -w 120 7 || fail "X display start lock not free within 120 s"
  local n tries
  for n in $(seq 90 140); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    # The server must not inherit the start lock, or it would hold it for life;
    # -noreset, because a reset when the last client leaves refuses the next
    # program that connects during it.
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

# The host binds UDP port 1234, so two hosts at once would collide; every
# script that starts one holds this lock for as long as it runs them.
hold_port_lock() {
  exec 9>/tmp/boxsim-port-1234.lock
  flock -w 300 9 || fail "port 1234 lock not free within 300 s"
}

# Starts the program in the background with its output in app.out.
start_app() {
  "$BOXSIM_BIN" "$@" >"$BOXSIM_SCRATCH/app.out" 2>"$BOXSIM_SCRATCH/app.err" &
  app_pid=$!
}

app_ended() {
  pid_ended "$app_pid"
}

# Waits (bounded) for the program to end; its exit status goes to app_status.
# (Not for $(...): only this shell can wait for its own child.)
app_status=""
wait_app_exit() {
  local limit=${1:-10}
  if ! wait_until "$limit" app_ended; then
    fail "program still running after $limit s"
  fi
  app_status=0
  wait "$app_pid" || app_status=$?
  app_pid=""
}

# Prints the id of the program's window, titled exactly "Test".
find_window() {
  xdotool search --name '^Test$' | head -n 1
}

# Waits for the window and for its first frames, then prints its id.
wait_window() {
  wait_until 20 find_window || fail "no window titled Test within 20 s"
  local wid
  wid=$(find_window)
  # With no window manager the window sits at (-1, -1), one pixel row and
  # column off screen; a screenshot would miss them.
  xdotool windowmove "$wid" 0 0
  sleep 1
  echo "$wid"
}

# Writes a PNG of the window's contents.
screenshot() {
  local wid=$1 out=$2
  xwd -silent -id "$wid" | convert xwd:- "png:$out"
}

# Writes a scene file: the header, then the records given as arguments
# (the ';' follows the last field directly).
write_scene() {
  local file=$1
  shift
  {
    echo "test scene"
    echo "~"
    local rec joined=""
    for rec in "$@"; do joined+="${joined:+$'\n'}$rec"; done
    printf '%s;\n' "$joined"
  } >"$file"
}

# Prints the pixels of an image as "x y r g b" lines, 8 bits per channel.
pixels() {
  convert "$1" -depth 8 -compress none ppm:- | awk '
    /^#/ { next }
    header == 0 { header = 1; next }
    header == 1 { w = $1; header = 2; next }
    header == 2 { header = 3; next }
    { for (i = 1; i <= NF; ++i) v[n++] = $i }
    END { for (p = 0; p * 3 + 2 < n; ++p) print p % w, int(p / w), v[3*p], v[3*p+1], v[3*p+2] }'
}

# Number of pixels lit in the body colour (0.5, 0.5, 1.0): blue clearly above
# red and green, which stay about equal.
count_body_pixels() {
  pixels "$1" | awk '$5 > $3 + 40 && $5 > $4 + 40 && ($3 - $4) < 20 && ($4 - $3) < 20 { c++ } END { print c + 0 }'
}
