#!/usr/bin/env bash
# The headless runner: options, one-line errors with a non-zero status, the
# body lines, the dump file in the current folder, and the state hash as the
# last line, equal to the stored golden value.
set -uo pipefail
: "${BOXSIM_SIM:?boxsim-sim not built}"
: "${BOXSIM_SCRATCH:?}"
: "${BOXSIM_SOURCE_DIR:?}"
mkdir -p "$BOXSIM_SCRATCH"
cd "$BOXSIM_SCRATCH" || exit 1
rm -f dump0.txt
scenes="$BOXSIM_SOURCE_DIR/scenes"
data="$BOXSIM_SOURCE_DIR/tests/data"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_error "pattern" args...: non-zero status, exactly one line, matching.
expect_error() {
  local pattern=$1
  shift
  local out status
  out=$("$BOXSIM_SIM" "$@" 2>&1)
  status=$?
  [[ $status -ne 0 ]] || fail "'$*' succeeded"
  [[ $(printf '%s\n' "$out" | wc -l) -eq 1 ]] || fail "'$*' printed more than one line: $out"
  [[ "$out" == *$pattern* ]] || fail "'$*' printed '$out', expected '$pattern'"
}

# --help explains the options and succeeds.
help=$("$BOXSIM_SIM" --help) || fail "--help failed"
for word in --steps --speed SCENE; do
  [[ "$help" == *"$word"* ]] || fail "--help does not mention $word"
done

expect_error "no scene file" 
expect_error "unknown option --fast" "$scenes/default.txt" --fast
expect_error "--steps needs a value" "$scenes/default.txt" --steps
expect_error "--speed needs a value" "$scenes/default.txt" --speed
expect_error "--steps wants" "$scenes/default.txt" --steps ten
expect_error "--steps wants" "$scenes/default.txt" --steps -5
expect_error "--steps wants" "$scenes/default.txt" --steps 2.5
expect_error "--speed wants" "$scenes/default.txt" --speed -1
expect_error "--speed wants" "$scenes/default.txt" --speed fast
expect_error "--speed wants" "$scenes/default.txt" --speed nan
expect_error "only one scene file" "$scenes/default.txt" "$scenes/stack.txt"
expect_error "Scene file not found!" "$BOXSIM_SCRATCH/no_such_scene.txt"
printf 'broken ~ 1 2 2 2 box 0 0 0 1;' > broken.txt
expect_error "broken.txt" broken.txt
[[ ! -e dump0.txt ]] || fail "a failed start wrote a dump file"

# Default run: 250 steps, one line per body, hash last and equal to the golden.
out=$("$BOXSIM_SIM" "$scenes/default.txt") || fail "default run failed"
[[ $(printf '%s\n' "$out" | wc -l) -eq 7 ]] || fail "expected 6 body lines and the hash: $out"
[[ $(printf '%s\n' "$out" | head -n 1) == "0 host_box pos "*" ang_pos "* ]] || fail "body line: $out"
last=$(printf '%s\n' "$out" | tail -n 1)
[[ "$last" == "state_hash $(cat "$data/default.hash250.txt")" ]] || fail "hash line '$last'"
[[ -s dump0.txt ]] || fail "no dump0.txt in the current folder"
[[ $(grep -c '^t: ' dump0.txt) -eq 500 ]] || fail "expected two records per step"

# The dump options: elsewhere the golden bytes, off no file and the same hash,
# limited a prefix of whole lines no longer than the limit, said once.
rm -f dump0.txt
out=$("$BOXSIM_SIM" "$scenes/stack.txt" --steps 100 --dump elsewhere.txt) || fail "--dump failed"
[[ ! -e dump0.txt ]] || fail "--dump PATH still wrote dump0.txt"
cmp -s elsewhere.txt "$data/stack.dump100.txt" || fail "--dump PATH wrote another trace"
off=$("$BOXSIM_SIM" "$scenes/stack.txt" --steps 100 --no-dump) || fail "--no-dump failed"
[[ ! -e dump0.txt ]] || fail "--no-dump wrote dump0.txt"
[[ "$off" == "$out" ]] || fail "--no-dump changed the result"
out=$("$BOXSIM_SIM" "$scenes/stack.txt" --steps 100 --dump-limit 0.05) || fail "--dump-limit failed"
[[ $(grep -c 'reached its limit of 0.05 MB' <<<"$out") -eq 1 ]] || fail "limit not said once: $out"
size=$(stat -c %s dump0.txt)
((size <= 50000 && size > 40000)) || fail "limited dump of $size bytes"
cmp -s dump0.txt <(head -c "$size" "$data/stack.dump100.txt") || fail "limited dump is no prefix"
[[ $(tail -c 1 dump0.txt | od -An -c | tr -d ' ') == '\n' ]] || fail "limited dump ends mid-line"
expect_error "--dump-limit wants" "$scenes/stack.txt" --dump-limit none
expect_error "--dump needs a value" "$scenes/stack.txt" --dump
mkdir -p a_folder
expect_error "Cannot write the dump file a_folder." "$scenes/stack.txt" --dump a_folder

# --steps 0 leaves the scene as loaded; speed 0.5 gives another trace.
zero=$("$BOXSIM_SIM" "$scenes/stack.txt" --steps 0) || fail "--steps 0 failed"
[[ $(printf '%s\n' "$zero" | grep -c ' top pos 0 0 3.5 ang_pos 1 0 0 0') -eq 1 ]] ||
  fail "--steps 0 moved a body: $zero"
half=$("$BOXSIM_SIM" "$scenes/default.txt" --speed 0.5 | tail -n 1)
[[ "$half" != "$last" ]] || fail "--speed changed nothing"

echo "boxsim-sim: ok"
