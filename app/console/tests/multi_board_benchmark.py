#!/usr/bin/env python3
"""Several emulated boards with --all on the sample images: the slowest board's simulated
time (from the run's report) against one board's, since boards must not wait for each
other, and the host and CPU time of the whole program. Figures, never a pass/fail on time.

Usage: multi_board_benchmark.py VESK_UPDATE SAMPLES_DIR
"""

import json
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main(program, samples):
    print("| boards | slowest board, simulated | against one board | host time | CPU time |")
    print("|---|---|---|---|---|")
    single = None
    with tempfile.TemporaryDirectory() as scratch:
        report = Path(scratch) / "report.json"
        for boards in (1, 4, 12):
            cpu, start = cpu_seconds(), time.monotonic()
            run = subprocess.run([program, "--board=emulated", "--emulated-boards", str(boards),
                                  "--all", "--yes", "-C", samples, "--report", str(report)],
                                 capture_output=True, text=True, check=False)
            host, cpu = time.monotonic() - start, cpu_seconds() - cpu
            if run.returncode != 0:
                sys.stderr.write(f"{boards} boards: exit status {run.returncode}\n"
                                 f"{run.stdout}{run.stderr}")
                return 1
            slowest = max(board["board_seconds"]
                          for board in json.loads(report.read_text())["boards"])
            single = single or slowest
            print(f"| {boards} | {slowest:.3f} s | {slowest / single:.3f}x (goal: at most 1.05x) "
                  f"| {host:.2f} s | {cpu:.2f} s |")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
