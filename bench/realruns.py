#!/usr/bin/env python3
"""Measures verdicts on a folder of real recorded runs with known outcomes.

    bench/realruns.py TRACEDX DIR [--show]

DIR holds the runs and a labels.jsonl with one line per run: "file" (relative to DIR),
"source" and "outcome" ("completed" when the task was solved, "failed" when not). Every run
is diagnosed as `tracedx diagnose FILE` does, without the outcome. A solved run whose primary
finding is anything but "Healthy run" is a false alarm; a failed run with such a finding is
found. Prints both shares by source; --show lists each run's label.
"""
import json
import os
import subprocess
import sys
from collections import defaultdict


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    tracedx, folder = sys.argv[1], sys.argv[2]
    show = "--show" in sys.argv[3:]
    extra = [a for a in sys.argv[3:] if a != "--show"]
    with open(os.path.join(folder, "labels.jsonl")) as f:
        labels = [json.loads(line) for line in f if line.strip()]
    paths = [os.path.join(folder, row["file"]) for row in labels]
    out = subprocess.run([tracedx, "batch", "--from", "chat", "--jobs", "2", *extra, *paths],
                         capture_output=True, text=True)
    by_id = {}
    for line in out.stdout.splitlines():
        rec = json.loads(line)
        by_id[rec["id"]] = rec
    stats = defaultdict(lambda: {"solved": 0, "alarms": 0, "failed": 0, "found": 0})
    for row, path in zip(labels, paths):
        rec = by_id.get(path, {})
        rc = (rec.get("diagnosis") or {}).get("root_cause")
        label = rc["label"] if rc else None
        flagged = label is not None and label != "Healthy run"
        s = stats[row["source"]]
        if row["outcome"] == "completed":
            s["solved"] += 1
            s["alarms"] += flagged
        else:
            s["failed"] += 1
            s["found"] += flagged
        if show:
            step = rc.get("step_index") if rc else None
            print(f"{row['outcome']:9} {row['file']:48} {label} @{step}"
                  + (f" [{rec['error']}]" if "error" in rec else ""))
    total = {"solved": 0, "alarms": 0, "failed": 0, "found": 0}
    for source, s in sorted(stats.items()):
        for k in total:
            total[k] += s[k]
        print(f"{source}: false alarms {s['alarms']}/{s['solved']} solved, "
              f"found {s['found']}/{s['failed']} failed")
    fa = total["alarms"] / max(1, total["solved"])
    fd = total["found"] / max(1, total["failed"])
    print(f"all: false alarms {total['alarms']}/{total['solved']} ({fa:.0%}), "
          f"found {total['found']}/{total['failed']} ({fd:.0%}), found minus false alarms {fd - fa:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
