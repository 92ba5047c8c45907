#!/usr/bin/env bash
# What the window shows: a box lit in its colour with dark edges at the
# centre, plain black when no body is in view, and a view that a drag turns
# and the wheel zooms. The bodies are static: only the camera changes the
# picture.
# shellcheck source=tests/sh/window_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/window_lib.sh"
start_xvfb
hold_port_lock

# Differing pixels between two images.
pixel_difference() {
  compare -metric AE "$1" "$2" null: 2>&1 || true
}

# One box at the origin, big enough to cover the centre of the picture. The
# host's own box, drawn in a colour of its own, is out of view, and the status
# overlay, whose step counter changes, is hidden with h.
write_scene box.txt "1 2 2 2 mine 1 -60 130 10 1 0 0 0" "1 8 8 8 box 1 0 0 0 1 0 0 0"
start_app h box.txt
wid=$(wait_window)
xdotool mousemove --window "$wid" 400 300 key h sleep 0.3
screenshot "$wid" box.png
pixels box.png >box.px

# Near the centre (100 x 100 pixels) the box shows its own colour, shaded.
lit=$(awk '$1 >= 350 && $1 < 450 && $2 >= 250 && $2 < 350 && $5 > $3 + 40 && $5 > $4 + 40 { c++ }
  END { print c + 0 }' box.px)
((lit > 5000)) || fail "only $lit of 10000 centre pixels show the box colour"

# A dark edge line crosses the box: on the centre row, a dark pixel lies
# between lit ones.
edge=$(awk '$2 == 300 {
    lit = ($5 > $3 + 40 && $5 > $4 + 40); dark = ($3 < 60 && $4 < 60 && $5 < 60)
    if (lit && dark_after_lit) found = 1; if (lit) seen_lit = 1; if (dark && seen_lit) dark_after_lit = 1
  } END { print found + 0 }' box.px)
[[ "$edge" == 1 ]] || fail "no dark edge between lit faces on the centre row"

# The picture is stable while nothing moves, and a left drag turns it.
screenshot "$wid" box_again.png
diff=$(pixel_difference box.png box_again.png)
[[ "$diff" == 0 ]] || fail "picture changed by $diff pixels without input"
xdotool mousedown 1 sleep 0.2 mousemove --window "$wid" 500 320 sleep 0.2 mouseup 1 sleep 0.5
screenshot "$wid" turned.png
diff=$(pixel_difference box.png turned.png)
((diff > 1000)) || fail "a drag changed only $diff pixels"

# Wheel up brings the eye closer, so the box covers more of the picture; wheel
# down moves it away. Steps within one frame count once: they are spaced.
before=$(count_body_pixels turned.png)
xdotool click --repeat 5 --delay 200 4 sleep 0.5
screenshot "$wid" closer.png
closer=$(count_body_pixels closer.png)
((closer > before * 3 / 2)) || fail "wheel up: box pixels $before -> $closer"
xdotool click --repeat 8 --delay 200 5 sleep 0.5
screenshot "$wid" farther.png
farther=$(count_body_pixels farther.png)
((farther < closer * 2 / 3)) || fail "wheel down: box pixels $closer -> $farther"
quit_app q

# Nothing in view leaves the picture black: a box behind the eye, and no
# bodies at all in a client whose connection failed (the port lock keeps any
# other test's host off port 1234).
write_scene behind.txt "1 2 2 2 box 1 -60 130 10 1 0 0 0"
for args in "h behind.txt" "c 127.0.0.1"; do
  read -ra argv <<<"$args"
  start_app "${argv[@]}"
  if [[ ${argv[0]} == c ]]; then
    wait_until 20 grep -q '^Connection to 127.0.0.1:1234 failed\.$' app.out ||
      fail "no connection failure line: $(cat app.out)"
  fi
  wid=$(wait_window)
  xdotool mousemove --window "$wid" 400 300 key h sleep 0.3
  screenshot "$wid" black.png
  brightest=$(pixels black.png | awk '{ for (i = 3; i <= 5; ++i) if ($i > m) m = $i }
    END { print m + 0 }')
  [[ "$brightest" == 0 ]] || fail "boxsim $args: a pixel of value $brightest where none is lit"
  quit_app q
done

echo "rendering and camera: ok"
