#!/usr/bin/env bash
# What the window shows: a box lit in its colour with dark edges at the
# centre, plain black when no body is in view, and a view that the mouse
# turns and the wheel zooms. The bodies are static so that only the camera
# changes the picture.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
start_xvfb
hold_port_lock

quit_app() {
  xdotool key q
  wait_app_exit 10
  [[ "$app_status" -eq 0 ]] || fail "quit with status $app_status"
}

# Differing pixels between two images.
pixel_difference() {
  compare -metric AE "$1" "$2" null: 2>&1 || true
}

# One box at the origin, big enough to cover the centre of the image.
{
  write_scene box.txt "1 8 8 8 box 1 0 0 0 1 0 0 0"
  start_app h box.txt
  wid=$(wait_window)
  xdotool mousemove --window "$wid" 400 300
  screenshot "$wid" box.png

  # Near the centre (a 100 x 100 square) the box fills the picture in its own
  # colour, shaded by the light.
  centre_lit=$(pixels box.png | awk '$1 >= 350 && $1 < 450 && $2 >= 250 && $2 < 350 &&
      $5 > $3 + 40 && $5 > $4 + 40 { c++ } END { print c + 0 }')
  ((centre_lit > 5000)) || fail "only $centre_lit of 10000 centre pixels show the box colour"

  # A dark edge line crosses the box: on the centre row, a dark pixel lies
  # between lit ones on both sides.
  edge=$(pixels box.png | awk '$2 == 300 {
      lit = ($5 > $3 + 40 && $5 > $4 + 40); dark = ($3 < 60 && $4 < 60 && $5 < 60)
      if (lit && seen_dark_after_lit) found = 1
      if (lit) seen_lit = 1
      if (dark && seen_lit) seen_dark_after_lit = 1
    } END { print found + 0 }')
  [[ "$edge" == 1 ]] || fail "no dark edge between lit faces on the centre row"

  # The picture is stable while nothing moves.
  screenshot "$wid" box_again.png
  diff=$(pixel_difference box.png box_again.png)
  [[ "$diff" == 0 ]] || fail "picture changed by $diff pixels without input"

  # A left drag turns the view.
  xdotool mousedown 1
  sleep 0.2
  xdotool mousemove --window "$wid" 500 320
  sleep 0.2
  xdotool mouseup 1
  sleep 0.5
  screenshot "$wid" turned.png
  diff=$(pixel_difference box.png turned.png)
  ((diff > 1000)) || fail "a drag changed only $diff pixels"

  # Wheel up moves the eye closer, so the box covers more of the picture. One
  # step per frame counts: pause between the steps.
  before=$(count_body_pixels turned.png)
  for _ in 1 2 3 4 5; do
    xdotool click 4
    sleep 0.2
  done
  sleep 0.5
  screenshot "$wid" closer.png
  after=$(count_body_pixels closer.png)
  ((after > before * 3 / 2)) || fail "wheel up: box pixels $before -> $after"

  # Wheel down moves it away again.
  for _ in 1 2 3 4 5 6 7 8; do
    xdotool click 5
    sleep 0.2
  done
  sleep 0.5
  screenshot "$wid" farther.png
  farther=$(count_body_pixels farther.png)
  ((farther < after * 2 / 3)) || fail "wheel down: box pixels $after -> $farther"
  quit_app
}

# No body in view: a box behind the eye leaves the picture black.
{
  write_scene behind.txt "1 2 2 2 box 1 -60 130 10 1 0 0 0"
  start_app h behind.txt
  wid=$(wait_window)
  xdotool mousemove --window "$wid" 400 300
  screenshot "$wid" empty.png
  brightest=$(pixels empty.png | awk '{ for (i = 3; i <= 5; ++i) if ($i > m) m = $i } END { print m + 0 }')
  [[ "$brightest" == 0 ]] || fail "picture without a visible body has a pixel of value $brightest"
  quit_app
}

# No bodies at all: a client whose connection failed runs on with a cleared,
# black window. (The port lock keeps any other test's host off port 1234.)
{
  start_app c 127.0.0.1
  wait_until 20 grep -q '^Connection to 127.0.0.1:1234 failed\.$' app.out ||
    fail "no connection failure line: $(cat app.out)"
  wid=$(wait_window)
  xdotool mousemove --window "$wid" 400 300
  screenshot "$wid" no_bodies.png
  brightest=$(pixels no_bodies.png | awk '{ for (i = 3; i <= 5; ++i) if ($i > m) m = $i } END { print m + 0 }')
  [[ "$brightest" == 0 ]] || fail "picture without bodies has a pixel of value $brightest"
  quit_app
}

echo "rendering and camera: ok"
