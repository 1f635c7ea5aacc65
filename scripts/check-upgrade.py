#!/usr/bin/env python3
"""A release's launcher upgrade package through the real self-update.

Lays out the demo station with this build's updater and the soak's build of the launcher,
publishes the given upgrade package (scripts/release.sh makes it) on the stand-in server as a
newer launcher, and runs the launcher on a virtual display, where its soak driver logs in and
accepts the upgrade. Passes when the updater installed the package (every file of it stands in
the station as packed), reported it, and started the release's launcher, which (having no
driver) is logged in through its window on the display and then asks the server for its work.

    python3 scripts/check-upgrade.py dist/Tovarin-<version>-upgrade-linux.zip

Python 3 standard library only; needs Xvfb and a build (BUILD_DIR, default build).
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402  (the soak's station, server, display and launcher driving)

OFFERED_VERSION = "9.0.0.1"
WINDOW_TITLE = "NORVEXA"


def wait_for(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.3)
    return None


def log_in_through_window(run, tovarin):
    """The release's launcher carries no driver: its login window is filled in on the display, as
    an operator would. Returns what went wrong, or None once the main window asks the server."""
    def xdo(*args):
        return subprocess.run(["xdotool"] + list(args), env=dict(os.environ, DISPLAY=run.display),
                              capture_output=True, text=True, timeout=60).stdout

    pid = wait_for(lambda: next(iter(soak.processes_of({tovarin})), None), 30)
    if pid is None:
        return "the updater did not start the release's launcher"
    window = wait_for(lambda: xdo("search", "--onlyvisible", "--pid", str(pid), "--name", WINDOW_TITLE).split(), 60)
    if not window:
        return "the release's launcher shows no login window"
    seen = len(soak.control(run.port, "requests"))
    # The account field has the focus and may hold the account of the last login.
    xdo("windowfocus", "--sync", window[0])
    xdo("key", "ctrl+a")
    xdo("type", "--delay", "40", "operator")
    xdo("key", "Tab")
    xdo("key", "ctrl+a")
    xdo("type", "--delay", "40", "123456")
    xdo("key", "Return")

    def main_window_asks():
        paths = [r.get("path", "") for r in soak.control(run.port, "requests")[seen:]]
        logins = [i for i, p in enumerate(paths) if p.endswith("ToolClientConfigManageApi/toolLogin")]
        return bool(logins) and any(not p.endswith("toolLogin") for p in paths[logins[0] + 1:])
    if not wait_for(main_window_asks, 60):
        return "the release's launcher did not log in and ask the server for its work"
    soak.log("the release's launcher (pid %d) logged in through its window" % pid)
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("package", help="the launcher upgrade package (…-upgrade-linux.zip)")
    ap.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", "build"))
    ap.add_argument("--run-dir", default=os.path.join(soak.ROOT, "upgrade-check"))
    ap.add_argument("--display", default=None, help="use this X display instead of a virtual one")
    cli = ap.parse_args()
    package = os.path.abspath(cli.package)

    args = argparse.Namespace(seed=1, rate=0.0, kill_share=0.0, launcher_every=1, memory_rounds=1,
                              stall_limit_ms=1000, build_dir=cli.build_dir, run_dir=cli.run_dir,
                              display=cli.display, minutes=1.0)
    run = soak.Soak(args)
    failures = []
    try:
        run.layout()
        # The package as published, and what the station must hold once it is installed.
        name = "Tovarin-%s.zip" % OFFERED_VERSION
        shutil.copyfile(package, os.path.join(run.files, name))
        packed = {}
        with zipfile.ZipFile(package) as z:
            for info in z.infolist():
                if info.is_dir():
                    continue
                if not info.filename.startswith("Tovarin/"):
                    failures.append("entry outside Tovarin/: %s" % info.filename)
                    continue
                packed[info.filename[len("Tovarin/"):]] = hashlib.sha256(z.read(info)).hexdigest()
        for rel in ("Tovarin", "Pellock/Pellock"):
            if rel not in packed:
                failures.append("the package holds no %s" % rel)
        if any(rel.endswith(".ini") for rel in packed):
            failures.append("the package would overwrite station settings: %s" %
                            [rel for rel in packed if rel.endswith(".ini")])
        run.versions["Tovarin"][OFFERED_VERSION] = {"Tovarin": packed.get("Tovarin")}
        run.versions["Pellock"][OFFERED_VERSION] = {rel[len("Pellock/"):]: digest for rel, digest in packed.items()
                                                    if rel.startswith("Pellock/")}
        run.complete["Tovarin"].add(OFFERED_VERSION)
        run.complete["Pellock"].add(OFFERED_VERSION)
        run.offered["Tovarin"] = (OFFERED_VERSION, name)

        run.start_server()
        run.start_display()
        run.push_data(True)
        settings = {n: soak.sha(os.path.join(run.station, n)) for n in ("serverConfig.ini", "CONFIGSET.ini")}
        # No kills: one cycle, the launcher upgraded and started again by the updater.
        run.run_cycle(1, memory=True)

        failures += run.failures
        if run.last_state["Tovarin"] != OFFERED_VERSION or run.last_state["Pellock"] != OFFERED_VERSION:
            failures.append("launcher folder at %s, updater at %s, not the package's" %
                            (run.last_state["Tovarin"], run.last_state["Pellock"]))
        for rel, digest in sorted(packed.items()):
            path = os.path.join(run.station, rel)
            if not os.path.isfile(path) or soak.sha(path) != digest:
                failures.append("%s is not the package's" % rel)
        for n, digest in settings.items():
            if soak.sha(os.path.join(run.station, n)) != digest:
                failures.append("%s changed during the upgrade" % n)
        records = [r for r in soak.control(run.port, "requests")
                   if r.get("path", "").endswith("recordProToolUpgrade")]
        if not records:
            failures.append("the upgrade was never reported")
        soak.log("%d files of the package installed, %d upgrade record(s)" % (len(packed), len(records)))
        problem = log_in_through_window(run, run.station_programs()[0])
        if problem:
            failures.append(problem)
    finally:
        run.stop()
    for f in failures:
        print("FAIL: " + f)
    print("upgrade check: %s" % ("passed" if not failures else "FAILED"))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
