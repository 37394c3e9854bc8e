#!/usr/bin/env bash
# Runs the same CPU-bound 8051 program in vesk-sim-run and in ucsim (s51 -t DS320) and
# prints both instruction rates and their ratio.
# Usage: benchmark.sh VESK_SIM_RUN S51 PROGRAM.ihx
set -euo pipefail
sim_run=$1 s51=$2 program=$3

# The program ends in an SJMP to itself: find it with a first, generous run.
stop_pc=$("$sim_run" "$program" --max-cycles 200000000 | tail -n 1 | sed -n 's/.*pc=\(0x[0-9A-F]*\)$/\1/p')
[ -n "$stop_pc" ] || { echo "benchmark: could not find the program's final loop" >&2; exit 1; }

now() { date +%s%N; }

start=$(now)
ours=$("$sim_run" "$program" --until-pc "$stop_pc" | tail -n 1)
end=$(now)
ours_instructions=$(sed -n 's/^instructions=\([0-9]*\) .*/\1/p' <<<"$ours")
ours_ns=$((end - start))
# The same without the fast-forward of wait loops.
start=$(now)
stepped=$("$sim_run" "$program" --until-pc "$stop_pc" --step | tail -n 1)
end=$(now)
stepped_ns=$((end - start))
[ "$stepped" = "$ours" ] || {
  echo "benchmark: the run without fast-forward ended elsewhere: $stepped / $ours" >&2
  exit 1
}

start=$(now)
theirs=$("$s51" -t DS320 -b -e "break $stop_pc" -e run -e state -e quit "$program" 2>&1)
end=$(now)
theirs_ns=$((end - start))
# ucsim counts the instruction at the breakpoint as well.
theirs_instructions=$(sed -n 's/^Inst= \([0-9]*\) .*/\1/p' <<<"$theirs")
[ -n "$ours_instructions" ] && [ -n "$theirs_instructions" ] || {
  echo "benchmark: a simulator did not report its instruction count" >&2
  exit 1
}
theirs_instructions=$((theirs_instructions - 1))

awk -v oi="$ours_instructions" -v ons="$ours_ns" -v sns="$stepped_ns" -v ti="$theirs_instructions" -v tns="$theirs_ns" 'BEGIN {
  ours = oi / (ons / 1e9) / 1e6; stepped = oi / (sns / 1e9) / 1e6; theirs = ti / (tns / 1e9) / 1e6;
  printf "program: %d instructions (vesk-sim-run), %d (s51)\n", oi, ti;
  printf "vesk-sim-run: %.1f M instructions/s (%.3f s)\n", ours, ons / 1e9;
  printf "vesk-sim-run --step: %.1f M instructions/s (%.3f s)\n", stepped, sns / 1e9;
  printf "s51 -t DS320: %.1f M instructions/s (%.3f s)\n", theirs, tns / 1e9;
  printf "ratio: %.1fx (%.1fx with --step)\n", ours / theirs, stepped / theirs;
}'
[ "$ours_instructions" = "$theirs_instructions" ] || {
  echo "benchmark: the simulators executed different instruction counts" >&2
  exit 1
}
