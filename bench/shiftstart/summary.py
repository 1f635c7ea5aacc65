#!/usr/bin/env python3
"""Sums up one run of bench/shiftstart.sh: what the stations printed and what nginx logged.

    summary.py RUN_DIR PACKAGE_BYTES PACKAGE_SHA256 STATIONS   -> one JSON object on stdout

RUN_DIR holds s<i>/out.txt per station and logs/access.log (nginx-loopback's JSON lines).
"""

import glob
import json
import os
import sys


def station_outputs(run_dir):
    out = []
    for path in sorted(glob.glob(os.path.join(run_dir, "s*", "out.txt"))):
        values = {}
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(" ")
                values[key] = value
        out.append(values)
    return out


def main():
    run_dir, size, sha, stations = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    got = station_outputs(run_dir)
    finished = [s for s in got if s.get("ok") == "1"]
    # A station counts only with the package's very bytes on disk and the same digest taken in flight.
    intact = [s for s in finished if s.get("sha256") == sha and s.get("digest") == sha]
    requests = []
    with open(os.path.join(run_dir, "logs", "access.log"), encoding="utf-8") as f:
        for line in f:
            entry = json.loads(line)
            if " /pkg.zip " in entry["request"]:
                requests.append(entry)
    statuses = {}
    for r in requests:
        statuses[str(r["status"])] = statuses.get(str(r["status"]), 0) + 1
    sent = sum(int(r["bytes"]) for r in requests)
    summary = {
        "stations": stations,
        "reported": len(got),
        "finished": len(finished),
        "intact": len(intact),
        "tries": sum(int(s.get("tries", 0)) for s in got),
        "requests": len(requests),
        "ranged": sum(1 for r in requests if r["range"]),
        "statuses": statuses,
        "bytesSent": sent,
        "bytesRatio": sent / float(stations * size) if stations and size else 0.0,
        "lastFinishedS": max((int(s["finished_ms"]) for s in finished), default=-1) / 1000.0,
        "lastEndedS": max((int(s.get("ended_ms", -1)) for s in got), default=-1) / 1000.0,
        "errors": sorted({s.get("error", "") for s in got if s.get("ok") != "1"}),
    }
    json.dump(summary, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
