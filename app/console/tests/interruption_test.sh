#!/bin/sh
# vesk-update stopped by real signals while it waits at its first question: the question
# counts as No, the log is still written, and the exit status names the signal; SIGPIPE
# on a closed output does not end the run; runs at once share one history.
set -u
program=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for case in INT:130 TERM:143 HUP:129; do
  signal=${case%%:*} expected=${case##*:}
  rm -f "$work/in" "$work/err" "$work/run.log"
  mkfifo "$work/in"
  # Keeps the question's input open, so that only the signal can end the wait.
  sleep 30 > "$work/in" &
  holder=$!
  "$program" --board=emulated -C "$samples" --log "$work/run.log" < "$work/in" > /dev/null 2> "$work/err" &
  pid=$!
  for _ in $(seq 100); do
    grep -q 'y/N' "$work/err" 2>/dev/null && break
    sleep 0.1
  done
  kill -s "$signal" "$pid"
  wait "$pid"
  status=$?
  kill "$holder" 2>/dev/null
  [ "$status" -eq "$expected" ] || fail "SIG$signal: exit status $status, expected $expected"
  grep -q 'Initialization cancelled by user' "$work/run.log" 2>/dev/null ||
    fail "SIG$signal: no log written"
  grep -q 'interrupted' "$work/err" || fail "SIG$signal: standard error does not say so"
done

# A closed standard output: the run still ends with its own verdict and status.
"$program" --board=emulated --yes -C "$samples" --log "$work/pipe.log" | head -c 1 > /dev/null
status=$(grep -c 'Camera firmware update' "$work/pipe.log" 2>/dev/null)
[ "$status" = 1 ] || fail "closed output: the run did not reach its verdict"

# Sixteen runs at once, two stations' worth, on one history: every record is kept, whole.
rm -f "$work/history.jsonl"
for _ in $(seq 16); do
  "$program" --board=emulated -C "$samples" --report-append "$work/history.jsonl" \
    < /dev/null > /dev/null 2>&1 &
done
wait
lines=$(wc -l < "$work/history.jsonl")
[ "$lines" -eq 16 ] || fail "16 runs at once kept $lines history lines"
whole=$(grep -c '^{.*"boards".*}$' "$work/history.jsonl")
[ "$whole" -eq 16 ] || fail "only $whole of the history lines are whole records"

[ "$failures" -eq 0 ] && echo "interruptions: all cases passed"
exit "$failures"
