# Sourced by the headless peer tests: real boxsim-sim hosts and clients on
# 127.0.0.1, optionally through the fault relay, each in its own folder.
# Every process started here is stopped (and continued first, if stopped)
# when the script ends, however it ends.
set -euo pipefail
: "${BOXSIM_SIM:?BOXSIM_SIM must name the boxsim-sim binary}"
: "${BOXSIM_RELAY:?BOXSIM_RELAY must name the fault-relay binary}"
: "${BOXSIM_SOURCE_DIR:?BOXSIM_SOURCE_DIR must name the source folder}"
: "${BOXSIM_SCRATCH:?BOXSIM_SCRATCH must name a scratch folder}"
rm -rf "$BOXSIM_SCRATCH"
mkdir -p "$BOXSIM_SCRATCH"
cd "$BOXSIM_SCRATCH"

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in */out.txt relay.txt; do
    [[ -s $f ]] && { echo "--- $f (last lines)" >&2; tail -n 8 "$f" >&2; }
  done
  exit 1
}

# Holds the locks of ports $1 .. $1+$2-1 for the rest of the script, so that
# two checkouts testing at once never share one.
take_ports() {
  local p fd=20
  for ((p = $1; p < $1 + $2; ++p)); do
    eval "exec $fd>/tmp/boxsim-port-$p.lock"
    flock -w 300 "$fd" || fail "port $p lock not free within 300 s"
    ((++fd))
  done
}

# Each line of standard input, prefixed with the wall-clock seconds it came.
stamp() {
  local line
  while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done
}

# start_peer NAME ARGS...: boxsim-sim in folder NAME, output stamped into
# NAME/out.txt; the pid goes to pids and into ${NAME}_pid.
start_peer() {
  local name=$1
  shift
  mkdir -p "$name"
  (cd "$name" && exec "$BOXSIM_SIM" "$@" > >(stamp >out.txt) 2>err.txt) &
  pids+=("$!")
  printf -v "${name}_pid" %s "$!"
}

start_relay() {
  "$BOXSIM_RELAY" "$@" >relay.txt 2>&1 &
  pids+=("$!")
  relay_pid=$!
}

wait_until() {
  local limit=$1 t=0
  shift
  until "$@"; do
    sleep 0.1
    t=$((t + 1))
    ((t < limit * 10)) || return 1
  done
}

# Waits for the peer to end by itself and checks its status.
finish_peer() {
  local pid_var=${1}_pid status=0
  wait "${!pid_var}" || status=$?
  [[ $status -eq 0 ]] || fail "$1 ended with status $status"
}

# random_keys SEED SECONDS FILE: a key script of changes of w, s, a and d at
# random moments from 1 s to SECONDS - 4 s, every key let go at the end.
random_keys() {
  awk -v seed="$1" -v end="$2" 'BEGIN {
    srand(seed); split("w s a d", key, " "); t = 1
    while (t < end - 4) {
      i = int(rand() * 4) + 1
      print t, key[i], (held[i] ? "up" : "down"); held[i] = !held[i]
      t += 0.15 + rand() * 1.2
    }
    for (i = 1; i <= 4; ++i) if (held[i]) print t, key[i], "up"
  }' >"$3"
}

# read_agreement NAME: the peer's closing summary into agreed, differed,
# repairs and longest_wait.
read_agreement() {
  local line
  line=$(sed -n 's/.*Agreement: \([0-9]*\) checks agreed, \([0-9]*\) differed, \([0-9]*\) repairs, longest wait \([0-9.]*\) s.*/\1 \2 \3 \4/p' "$1/out.txt" | tail -n 1)
  [[ -n $line ]] || fail "$1 printed no summary"
  read -r agreed differed repairs longest_wait <<<"$line"
  echo "$1: $agreed checks agreed, $differed differed, $repairs repairs, longest wait $longest_wait s"
}

# compare_dumps HOST_DUMP CLIENT_DUMP FROM: for every step from FROM on that
# both dumps hold, the last record of the step (a replayed step is written
# again, later) must be the same. Prints how many agree; fails on the first
# that differs or when fewer than MIN_STEPS (default 100) were compared.
compare_dumps() {
  last_records() {
    awk 'BEGIN { RS = "" }
      { step = ""; k = split($0, line, "\n")
        for (i = 1; i <= k; ++i) if (line[i] ~ /^t: /) step = substr(line[i], 4)
        if (step == "") next
        rec = $0; gsub(/\n/, "|", rec); last[step] = rec }
      END { for (s in last) print s "\t" last[s] }' "$1"
  }
  last_records "$1" >host.last
  last_records "$2" >client.last
  awk -F '\t' -v from="$3" -v min="${MIN_STEPS:-100}" '
    NR == FNR { host[$1] = $2; next }
    { client[$1] = $2 }
    END {
      for (s in client) {
        if (s + 0 < from || !(s in host)) continue
        if (host[s] != client[s]) { bad[s + 0] = 1; continue }
        ++same
      }
      for (s in bad) if (first == "" || s + 0 < first) first = s + 0
      if (first != "") {
        print "step " first " differs:\nhost:   " host[first] "\nclient: " client[first]
        exit 1
      }
      print same " steps agree (from " from ")"
      if (same < min) { print "too few steps compared"; exit 1 }
    }' host.last client.last >compare.txt || { cat compare.txt >&2; fail "the dumps disagree"; }
  cat compare.txt
}

sync_step() {
  sed -n 's/.* Received sync at \([0-9]*\), .*/\1/p' "$1/out.txt" | head -n 1
}
