#!/usr/bin/env bash
# The window: title "Test", 800 x 600; q (and Q) end the program with status 0.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
start_xvfb
hold_port_lock

write_scene one.txt "1 2 2 2 box 1 0 0 0 1 0 0 0"

for quit_key in q Q; do
  start_app h one.txt
  wid=$(wait_window)
  geometry=$(xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: //p')
  [[ "$geometry" == "800x600" ]] || fail "window is $geometry, expected 800x600"
  pid_ended "$app_pid" && fail "program ended on its own"

  # Key events go to the window under the pointer (no window manager).
  xdotool mousemove --window "$wid" 400 300
  quit_app "$quit_key"
done

echo "window and quit: ok"
