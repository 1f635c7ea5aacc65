#!/usr/bin/env python3
"""Reliability soak: the real launcher against a misbehaving stand-in server for a long time.

Lays out a demo station, starts the stand-in server in chaos mode and a virtual display, and
runs the launcher through the station's cycle again and again, driven from inside by its soak
driver (the soak's build of the launcher, TovarinSoak, stands in the station as "Tovarin"):
log in, tool page with its update check and installations, catalogue, customer, a tool started,
page switches, a launcher upgrade now and then through the real updater, close. Some cycles kill
the launcher or the updater with SIGKILL at a random moment. After every cycle the tool folders,
the launcher folder and the INI files are checked; at the end one table is printed and the exit
code tells whether every assertion held.

Python 3 standard library only. Started by scripts/soak.sh, which builds first.
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.request
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Tools whose packages the soak keeps publishing, with their ids; the first two are forced, the
# others are taken with "全部更新". PPCFocus starts missing (first installation).
SOAK_TOOLS = [("101", "IPCProductCheck", 0), ("102", "BPC", 1), ("103", "IPCamSuite", 0),
              ("108", "PPCFocus", 1), ("109", "PPCAirTight", 0)]
KEEP_NAMES = {"config.ini", "temp.bat", "temp.sh", "conf", "Configs"}
LAUNCHER_ID = "100"
SOAK_LAUNCHER = "TovarinSoak"  # the launcher with the soak driver; stations' Tovarin has none
CYCLE_LIMIT_S = 900          # a cycle that takes longer has hung somewhere
RECOVER_LIMIT_S = 60
PELLOCK_RESTART_WAIT_S = 15  # the updater restarts the launcher 5 s after installing
MEMORY_GROWTH_LIMIT_KB = 8 * 1024


def log(msg):
    sys.stdout.write("[soak %s] %s\n" % (time.strftime("%H:%M:%S"), msg))
    sys.stdout.flush()


def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def control(port, what, body=None, timeout=10):
    """Control requests are never given a fault; retried anyway while the server is busy."""
    data = None if body is None else json.dumps(body).encode("utf-8")
    for attempt in range(5):
        try:
            req = urllib.request.Request("http://127.0.0.1:%d/__control/%s" % (port, what), data=data,
                                         method="GET" if data is None else "POST")
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return json.loads(r.read().decode("utf-8"))
        except OSError:
            time.sleep(0.5 * (attempt + 1))
    raise RuntimeError("stand-in server does not answer " + what)


def processes_of(paths):
    """{pid: exe} of the processes whose executable is one of paths."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % entry)
        except OSError:
            continue
        if exe in paths:
            found[int(entry)] = exe
    return found


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[-1][:1] not in ("Z", "X")
    except OSError:
        return False


def parse_ini(path):
    """(sections {name: {key: value}}, problems): every line must be a section, a key=value,
    a comment or blank; a key twice in one section is a problem too."""
    sections, problems, current = {}, [], None
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return sections, ["not UTF-8"]
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith(";") or line.startswith("#"):
            continue
        m = re.fullmatch(r"\[(.+)\]", line)
        if m:
            current = sections.setdefault(m.group(1), {})
            continue
        if "=" not in line or current is None:
            problems.append("line %d unreadable: %r" % (number, line[:60]))
            continue
        key, value = line.split("=", 1)
        if key.strip() in current:
            problems.append("line %d: %s twice" % (number, key.strip()))
        current[key.strip()] = value.strip()
    return sections, problems


class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.run_dir = os.path.abspath(args.run_dir)
        self.station = os.path.join(self.run_dir, "station")
        self.files = os.path.join(self.run_dir, "run", "files")
        self.bin = os.path.abspath(os.path.join(ROOT, args.build_dir, "bin"))
        self.children = []
        self.port = None
        self.display = None
        self.data = None
        # Per folder: the manifests a checked folder may show and the one it showed last.
        self.versions = {}      # key -> {version: manifest}
        self.complete = {}      # key -> set of versions delivered completely at least once
        self.last_state = {}    # key -> version the folder held at the last check
        self.offered = {}       # key -> version offered now
        self.launcher_version = 0
        self.stats = {"cycles": 0, "killedLauncher": 0, "killedUpdater": 0, "installsCompleted": 0,
                      "installsFailed": 0, "installsFailedCleanly": 0, "recoveredAfterKill": 0,
                      "launcherUpgrades": 0, "mixedFolders": 0, "iniFaults": 0, "crashes": 0, "hung": 0,
                      "longestStallMs": 0, "cyclesWithRound": 0}
        self.failures = []
        self.log_offsets = {}
        self.memory = {}
        self.ini_expected = {}

    # -- set-up ---------------------------------------------------------------------------

    def layout(self):
        shutil.rmtree(self.run_dir, ignore_errors=True)
        os.makedirs(self.run_dir)
        env = dict(os.environ, DEMO_DIR=self.station, DEMO_LAYOUT_ONLY="1", DEMO_SKIP_BUILD="1",
                   BUILD_DIR=self.args.build_dir)
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "run-demo.sh")], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        # The station's launcher is the soak's build: the same program with the driver added. It
        # keeps the name "Tovarin", which the updater's hand-off and the process checks go by.
        soak_launcher = os.path.join(self.bin, SOAK_LAUNCHER)
        if not os.path.isfile(soak_launcher):
            raise RuntimeError("%s is not built (it is built with the test programs)" % soak_launcher)
        shutil.copy2(soak_launcher, os.path.join(self.station, "Tovarin"))
        os.makedirs(os.path.join(self.run_dir, "reports"))
        os.makedirs(os.path.join(self.run_dir, "tmp"))
        # What the station's INI files must still say at the end of every cycle.
        for name in ("MAINSET.ini", "CONFIGSET.ini"):
            sections, problems = parse_ini(os.path.join(self.station, name))
            assert not problems, problems
            self.ini_expected[name] = sections
        with open(os.path.join(ROOT, "devserver", "demo-data.json"), encoding="utf-8") as f:
            self.data = json.load(f)
        initial = sha(os.path.join(self.station, "IPCamSuite", "IPCamSuite"))
        for tool_id, key, _ in SOAK_TOOLS:
            self.versions[key] = {"1.0.0.0": {key: initial}}
            self.complete[key] = {"1.0.0.0"}
            self.last_state[key] = None if key == "PPCFocus" else "1.0.0.0"
        self.versions["PPCFocus"]["absent"] = None
        self.complete["PPCFocus"].add("absent")
        self.last_state["PPCFocus"] = "absent"
        # The launcher's folder: its program and the marker its packages carry; the updater's.
        self.versions["Tovarin"] = {"1.1.1.2": {"Tovarin": sha(os.path.join(self.station, "Tovarin"))}}
        self.versions["Pellock"] = {"1.1.1.2": {"Pellock": sha(os.path.join(self.station, "Pellock", "Pellock"))}}
        for key in ("Tovarin", "Pellock"):
            self.complete[key] = {"1.1.1.2"}
            self.last_state[key] = "1.1.1.2"
        # A few MiB that do not compress, so that an installation lasts long enough to be killed
        # in the middle of it now and then.
        self.filler = os.path.join(self.run_dir, "filler.bin")
        with open(self.filler, "wb") as f:
            f.write(random.Random(self.args.seed).randbytes(16 << 20))
        for tool_id, key, _ in SOAK_TOOLS:
            self.publish_tool(key, 1)

    def publish_tool(self, key, generation):
        version = "%d.%d.0.0" % (generation + 1, self.rng.randrange(10))
        name = "%s-%s.zip" % (key, version)
        path = os.path.join(self.files, name)
        readme = "%s %s: soak package.\n" % (key, version)
        subprocess.run([sys.executable, "-B", os.path.join(ROOT, "devserver", "toolpackage.py"), "zip",
                        "--binary", os.path.join(self.bin, "demotool"), "--version", version,
                        "--folder", key, "--exe", key, "-o", path,
                        "--file", "config.ini=[Demo]\nTool=%s\nPackage=%s\n" % (key, version),
                        "--file", "README.txt=" + readme, "--file-from", "data/filler.bin=" + self.filler],
                       check=True)
        manifest = {}
        with zipfile.ZipFile(path) as z:
            for info in z.infolist():
                rel = info.filename.split("/", 1)[1] if "/" in info.filename else ""
                if not rel or info.is_dir() or rel.split("/")[0] in KEEP_NAMES:
                    continue
                manifest[rel] = hashlib.sha256(z.read(info)).hexdigest()
        self.versions[key][version] = manifest
        self.offered[key] = (version, name)

    def publish_launcher(self):
        self.launcher_version += 1
        version = "1.2.0.%d" % self.launcher_version
        name = "Tovarin-%s.zip" % version
        marker = ("\nsoak launcher %s\n" % version).encode()
        programs = {}
        for rel, src in (("Tovarin", SOAK_LAUNCHER), ("Pellock/Pellock", "Pellock")):
            with open(os.path.join(self.bin, src), "rb") as f:
                # Bytes after the program's end change nothing when it runs, but tell versions apart.
                programs[rel] = f.read() + marker
        with zipfile.ZipFile(os.path.join(self.files, name), "w") as z:
            def add(entry, content=None, mode=0o644):
                info = zipfile.ZipInfo(entry, date_time=(2026, 1, 1, 0, 0, 0))
                info.external_attr = ((0o40755 if entry.endswith("/") else 0o100000 | mode) << 16)
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, content or b"")
            add("Tovarin/")
            add("Tovarin/Tovarin", programs["Tovarin"], 0o755)
            add("Tovarin/UPGRADED.txt", marker)
            add("Tovarin/Pellock/")
            add("Tovarin/Pellock/Pellock", programs["Pellock/Pellock"], 0o755)
        self.versions["Tovarin"][version] = {"Tovarin": hashlib.sha256(programs["Tovarin"]).hexdigest(),
                                             "UPGRADED.txt": hashlib.sha256(marker).hexdigest()}
        self.versions["Pellock"][version] = {"Pellock": hashlib.sha256(programs["Pellock/Pellock"]).hexdigest()}
        self.offered["Tovarin"] = (version, name)

    def push_data(self, offer_launcher):
        data = json.loads(json.dumps(self.data))
        for tool in data["tools"]:
            for tool_id, key, forced in SOAK_TOOLS:
                if tool["proToolId"] == tool_id:
                    version, name = self.offered[key]
                    tool["package"] = {"versionNo": version, "versionUniqId": "V-%s-%s" % (tool_id, version),
                                       "forceUpgrade": forced, "versionRemark": "soak " + version, "file": name}
            if tool["proToolId"] == LAUNCHER_ID:
                if offer_launcher:
                    version, name = self.offered["Tovarin"]
                    tool["package"] = {"versionNo": version, "versionUniqId": "V-100-" + version,
                                       "forceUpgrade": 0, "versionRemark": "soak launcher " + version,
                                       "file": name, "offer": "always", "offerTimes": 1}
                else:
                    tool.pop("package", None)
        control(self.port, "data", data)

    def start_server(self):
        ready = os.path.join(self.run_dir, "server.json")
        data_file = os.path.join(self.run_dir, "data.json")
        with open(data_file, "w", encoding="utf-8") as f:
            json.dump(self.data, f, ensure_ascii=False)
        self.server_log = open(os.path.join(self.run_dir, "devserver.log"), "w")
        proc = subprocess.Popen([sys.executable, "-B", os.path.join(ROOT, "devserver", "devserver.py"),
                                 "--no-https", "--ready-file", ready, "--files", self.files, "--data", data_file,
                                 "--chaos", str(self.args.seed), "--chaos-rate", str(self.args.rate),
                                 # The demo layout made this key and listed it in CONFIGSET.ini.
                                 "--signing-key", os.path.join(self.run_dir, "run", "demo-signing-key.pem")],
                                stdout=self.server_log, stderr=subprocess.STDOUT)
        self.children.append(proc)
        for _ in range(200):
            if os.path.exists(ready):
                break
            time.sleep(0.1)
        with open(ready) as f:
            self.port = json.load(f)["http"]
        base = "http://127.0.0.1:%d/" % self.port
        with open(os.path.join(self.station, "serverConfig.ini"), "w", newline="") as f:
            f.write("[ServerDomainName]\r\nDomainName=%s\r\n\r\n[ServerManagerName]\r\nDomainName=%s\r\n\r\n"
                    "[ServerPPCName]\r\nDomainName=%s\r\n" % (base, base, base))

    def start_display(self):
        if self.args.display:
            self.display = self.args.display
            return
        r, w = os.pipe()
        proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1600x1000x24", "-nolisten", "tcp",
                                 "-noreset"], pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        self.children.append(proc)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()

    # -- one cycle ------------------------------------------------------------------------

    def launcher_env(self, report, plan):
        env = dict(os.environ)
        env.update({"DISPLAY": self.display, "QT_QPA_PLATFORM": "xcb", "LANG": "C.UTF-8",
                    "TOVARIN_SOAK": report, "TOVARIN_SOAK_PLAN": plan,
                    # Its own temporary folder: the single-instance guard of a launcher that other
                    # programs on this machine run (tests) is not this one's.
                    "TMPDIR": os.path.join(self.run_dir, "tmp")})
        return env

    def station_programs(self):
        tovarin = os.path.join(self.station, "Tovarin")
        pellock = os.path.join(self.station, "Pellock", "Pellock")
        return tovarin, pellock

    def end_tools(self):
        """Tools a killed launcher left running are ended, so the next cycle starts alike."""
        paths = {os.path.join(self.station, key, key) for _, key, _ in SOAK_TOOLS}
        for key in ("IPCProductCheck", "BPC"):
            paths.add(os.path.join(self.station, key, key))
        for pid in processes_of(paths):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def journals(self):
        """Journals of installations under way or interrupted, beside the folders they install
        into: the tool folders, and the station (the launcher's own folder, where tool packages
        unpack). The staging folder's are left out: nothing runs from there, and the next
        installation through it clears them."""
        found = []
        for folder in (os.path.dirname(self.station), self.station):
            try:
                found += [os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".installing")]
            except OSError:
                pass
        return found

    def run_cycle(self, number, memory=False):
        report = os.path.join(self.run_dir, "reports", "cycle-%03d.txt" % number)
        kill_launcher_at = None
        kill_updater = False
        kill_in_install = False
        if not memory and (number == 2 or self.rng.random() < self.args.kill_share):
            # Half of the kills hit an installation in progress (its journal is there), half a
            # random moment of the cycle; the second cycle always kills, so a short run does too.
            kill_in_install = number == 2 or self.rng.random() < 0.5
            kill_launcher_at = self.rng.uniform(3, 45)
        if not memory and self.rng.random() < 0.5:
            kill_updater = True
        rounds = self.args.memory_rounds if memory else 2
        plan = "rounds=%d;seed=%d;upgrade=accept" % (rounds, number)
        tovarin, pellock = self.station_programs()
        started = time.time()
        proc = subprocess.Popen([tovarin], cwd=self.station, env=self.launcher_env(report, plan),
                                stdout=subprocess.DEVNULL, stderr=open(report + ".stderr", "w"))
        current = proc.pid
        killed = set()
        seen_pellock = None
        pellock_kill_at = None
        pids, rounds_seen, offset = {}, [], 0
        lines = []
        cycle = {"killed": False, "hung": 0, "crash": 0, "stall": 0, "done": False, "upgrades": 0}
        gone_since = None
        while True:
            time.sleep(0.2)
            if os.path.exists(report):
                with open(report, encoding="utf-8", errors="replace") as f:
                    f.seek(offset)
                    chunk = f.read()
                    offset = f.tell()
                for line in chunk.splitlines():
                    parts = line.split()
                    if len(parts) < 2:
                        continue
                    lines.append(parts)
                    what = parts[1]
                    if what == "START":
                        current = int(parts[2])
                        pids[current] = "started"
                    elif what == "EXIT":
                        pids[current] = "exited"
                    elif what == "HUNG":
                        cycle["hung"] += 1
                        self.failures.append("cycle %d: step %s hung (%s ms)" % (number, parts[2], parts[3]))
                    elif what == "STALL":
                        cycle["stall"] = max(cycle["stall"], int(parts[2]))
                    elif what == "DONE":
                        cycle["done"] = True
                    elif what == "UPGRADE":
                        cycle["upgrades"] += 1
                    elif what == "ROUND":
                        rounds_seen.append((int(parts[2]), rss_kb(current)))
            now = time.time() - started
            if kill_in_install and kill_launcher_at is not None:
                # Watched closely: an installation lasts a fraction of a second.
                for _ in range(60):
                    if self.journals():
                        kill_launcher_at = 0
                        break
                    time.sleep(0.003)
            if kill_launcher_at is not None and now >= kill_launcher_at and alive(current):
                os.kill(current, signal.SIGKILL)
                killed.add(current)
                cycle["killed"] = True
                self.stats["killedLauncher"] += 1
                log("cycle %d: launcher %d killed at %.1f s%s" % (
                    number, current, now, " during an installation" if self.journals() else ""))
                kill_launcher_at = None
            updaters = processes_of({pellock})
            if updaters and seen_pellock is None:
                seen_pellock = next(iter(updaters))
                if kill_updater:
                    pellock_kill_at = time.time() + self.rng.uniform(0.0, 3.0)
                    if self.rng.random() < 0.5:
                        # The updater's own installation: killed once its journal appears.
                        deadline = time.time() + 10
                        while time.time() < deadline and alive(seen_pellock) and not self.journals():
                            time.sleep(0.005)
                        pellock_kill_at = time.time()
            if pellock_kill_at is not None and time.time() >= pellock_kill_at:
                if alive(seen_pellock):
                    os.kill(seen_pellock, signal.SIGKILL)
                    killed.add(seen_pellock)
                    cycle["killed"] = True
                    self.stats["killedUpdater"] += 1
                    log("cycle %d: updater %d killed" % (number, seen_pellock))
                pellock_kill_at = None
            proc.poll()
            running = alive(current) or bool(updaters)
            if running:
                gone_since = None
            else:
                gone_since = gone_since or time.time()
                # After a hand-off the updater starts the launcher again a few seconds later.
                waited = time.time() - gone_since
                if seen_pellock is None or seen_pellock in killed or waited > PELLOCK_RESTART_WAIT_S:
                    if waited > 1.0:
                        break
            if now > CYCLE_LIMIT_S:
                self.failures.append("cycle %d did not end within %d s" % (number, CYCLE_LIMIT_S))
                cycle["hung"] += 1
                for pid in list(processes_of({tovarin, pellock})):
                    os.kill(pid, signal.SIGKILL)
                    killed.add(pid)
                break
        proc.wait()
        # Crashes: a launcher that went without saying goodbye and was not killed, or ended by
        # a signal or a failure code not ours.
        for pid, state in pids.items():
            if state != "exited" and pid not in killed:
                cycle["crash"] += 1
                self.failures.append("cycle %d: launcher %d ended without exiting (crash)" % (number, pid))
        if proc.pid not in killed and proc.returncode not in (0, None) and pids.get(proc.pid) == "exited":
            cycle["crash"] += 1
            self.failures.append("cycle %d: launcher exit code %s" % (number, proc.returncode))
        if not pids and proc.pid not in killed:
            cycle["crash"] += 1
            self.failures.append("cycle %d: launcher ended before its driver started (code %s)"
                                 % (number, proc.returncode))
        self.end_tools()
        if cycle["killed"]:
            self.recover_after_kill(number)
        whole = self.check_folders(number)
        self.check_inis(number)
        self.count_installs(whole)
        self.stats["cycles"] += 1
        self.stats["hung"] += cycle["hung"]
        self.stats["crashes"] += cycle["crash"]
        self.stats["longestStallMs"] = max(self.stats["longestStallMs"], cycle["stall"])
        if rounds_seen:
            self.stats["cyclesWithRound"] += 1
        log("cycle %d: %.0f s, %s%s, stall %d ms, rounds %s" % (
            number, time.time() - started, "done" if cycle["done"] else "not done",
            ", killed" if cycle["killed"] else "", cycle["stall"], [r for r, _ in rounds_seen]))
        return rounds_seen

    def recover_after_kill(self, number):
        before = self.journals()
        report = os.path.join(self.run_dir, "reports", "recover-%03d.txt" % number)
        tovarin, _ = self.station_programs()
        proc = subprocess.Popen([tovarin], cwd=self.station, env=self.launcher_env(report, "mode=recover"),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            code = proc.wait(RECOVER_LIMIT_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            self.failures.append("cycle %d: the recovering start did not end" % number)
            self.stats["hung"] += 1
            return
        if code != 0:
            self.stats["crashes"] += 1
            self.failures.append("cycle %d: the recovering start ended with %s" % (number, code))
        after = self.journals()
        # Tool folders are recovered when the main window reads its table; the launcher's own
        # folder at the start.
        self.stats["recoveredAfterKill"] += len([j for j in before if j not in after])
        for j in after:
            self.failures.append("cycle %d: %s left after the recovering start" % (number, j))

    # -- checks ---------------------------------------------------------------------------

    def manifest_of(self, folder, names=None):
        if not os.path.isdir(folder):
            return None
        manifest = {}
        for base, dirs, files in os.walk(folder):
            rel_base = os.path.relpath(base, folder)
            if rel_base == ".":
                dirs[:] = [d for d in dirs if d not in KEEP_NAMES and d != "Pellock" and d != "log"]
            for name in files:
                rel = os.path.normpath(os.path.join(rel_base, name))
                if rel in KEEP_NAMES or (names is not None and rel not in names):
                    continue
                manifest[rel] = sha(os.path.join(base, name))
        return manifest

    def delivered_complete(self):
        files = control(self.port, "chaos").get("files", {})
        for key, versions in self.versions.items():
            for version in versions:
                name = "%s-%s.zip" % ("Tovarin" if key == "Pellock" else key, version)
                if files.get(name, {}).get("complete", 0) > 0:
                    self.complete[key].add(version)

    def check_folders(self, number):
        """True when every folder is wholly one version the server delivered completely."""
        self.delivered_complete()
        folders = {key: os.path.join(self.station, key) for _, key, _ in SOAK_TOOLS}
        whole = True
        for key, folder in folders.items():
            whole &= self.check_one(number, key, self.manifest_of(folder))
        whole &= self.check_one(number, "Tovarin", self.manifest_of(self.station, {"Tovarin", "UPGRADED.txt"}))
        whole &= self.check_one(number, "Pellock", self.manifest_of(os.path.join(self.station, "Pellock")))
        return whole

    def check_one(self, number, key, manifest):
        matched = None
        for version, expected in self.versions[key].items():
            if expected == manifest:
                matched = version
                break
        allowed = self.complete[key] | {self.last_state[key]}
        if matched is None or matched not in allowed:
            self.stats["mixedFolders"] += 1
            # The nearest known version and the files the folder differs from it in.
            def distance(version):
                return len(set((manifest or {}).items()) ^ set((self.versions[key][version] or {}).items()))
            near = min(self.versions[key], key=distance)
            expected = self.versions[key][near] or {}
            diff = sorted(n for n in set(expected) | set(manifest or {}) if expected.get(n) != (manifest or {}).get(n))
            self.failures.append("cycle %d: folder %s is %s (allowed: %s; nearest %s, differing: %s)" % (
                number, key, "mixed" if matched is None else "version %s never delivered whole" % matched,
                sorted(v for v in allowed if v), near, diff))
            return False
        if matched != self.last_state[key]:
            if key == "Tovarin":
                self.stats["launcherUpgrades"] += 1
            elif key != "Pellock":
                self.stats["installsCompleted"] += 1
        self.last_state[key] = matched
        return True

    def check_inis(self, number):
        for name, expected in self.ini_expected.items():
            sections, problems = parse_ini(os.path.join(self.station, name))
            for section, keys in expected.items():
                for key, value in keys.items():
                    got = sections.get(section, {}).get(key)
                    if got != value:
                        problems.append("[%s] %s is %r, was %r" % (section, key, got, value))
            if problems:
                self.stats["iniFaults"] += 1
                self.failures.append("cycle %d: %s: %s" % (number, name, "; ".join(problems[:5])))

    def count_installs(self, whole):
        folder = os.path.join(self.station, "log")
        if not os.path.isdir(folder):
            return
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                f.seek(self.log_offsets.get(path, 0))
                text = f.read()
                self.log_offsets[path] = f.tell()
            for line in text.decode("utf-8", "replace").splitlines():
                if "工具:" not in line or "小工具:" in line:
                    continue
                if "上传工具升级信息" in line or "不覆盖的文件名不安全" in line:
                    continue
                self.stats["installsFailed"] += 1
                if whole:
                    self.stats["installsFailedCleanly"] += 1

    # -- the run --------------------------------------------------------------------------

    def run(self):
        deadline = time.time() + self.args.minutes * 60
        self.layout()
        self.start_server()
        self.start_display()
        log("station %s, server port %d, display %s, seed %d, %.1f minutes" % (
            self.station, self.port, self.display, self.args.seed, self.args.minutes))
        self.push_data(False)
        memory_budget = max(60, self.args.memory_rounds * 12)
        number = 0
        generation = 1
        while time.time() < deadline - memory_budget or number == 0:
            number += 1
            offer_launcher = number % self.args.launcher_every == 2 % self.args.launcher_every
            if number % 3 == 0:
                generation += 1
                for _, key, _ in SOAK_TOOLS:
                    if self.rng.random() < 0.6:
                        self.publish_tool(key, generation)
            if offer_launcher:
                self.publish_launcher()
            self.push_data(offer_launcher)
            self.run_cycle(number)
        # The memory cycle: one launcher doing many page switches and checks, no kills.
        number += 1
        self.push_data(False)
        rounds = self.run_cycle(number, memory=True)
        measured = [(r, kb) for r, kb in rounds if kb]
        if len(measured) >= 2:
            self.memory = {"start": measured[0][1], "end": measured[-1][1], "rounds": len(measured)}
        chaos = control(self.port, "chaos")
        return self.table(chaos)

    def table(self, chaos):
        s = self.stats
        rows = []
        checks = []

        def row(name, value, ok=None):
            rows.append((name, str(value), "" if ok is None else ("ok" if ok else "FAIL")))
            if ok is not None:
                checks.append(ok)

        row("seed / minutes", "%d / %.1f" % (self.args.seed, self.args.minutes))
        row("cycles run", s["cycles"], s["cycles"] >= 2)
        row("server requests", chaos.get("requests", 0))
        for kind, count in sorted(chaos.get("faults", {}).items()):
            row("  faults injected: " + kind, count)
        row("faults injected (total)", sum(chaos.get("faults", {}).values()), sum(chaos.get("faults", {}).values()) > 0)
        row("launcher killed / updater killed", "%d / %d" % (s["killedLauncher"], s["killedUpdater"]))
        row("tool installations completed", s["installsCompleted"], s["installsCompleted"] > 0)
        row("tool installations failed cleanly", "%d of %d" % (s["installsFailedCleanly"], s["installsFailed"]),
            s["installsFailedCleanly"] == s["installsFailed"])
        row("installations recovered after a kill", s["recoveredAfterKill"])
        row("launcher upgrades through the updater", s["launcherUpgrades"])
        row("mixed folders", s["mixedFolders"], s["mixedFolders"] == 0)
        row("INI files with a lost or changed value", s["iniFaults"], s["iniFaults"] == 0)
        row("longest GUI stall (ms)", s["longestStallMs"], s["longestStallMs"] < self.args.stall_limit_ms)
        if self.memory:
            growth = self.memory["end"] - self.memory["start"]
            row("launcher RSS after round 1 / round %d (KiB)" % self.memory["rounds"],
                "%d / %d (%+d)" % (self.memory["start"], self.memory["end"], growth),
                growth <= MEMORY_GROWTH_LIMIT_KB)
        else:
            row("launcher RSS", "not measured", False)
        row("crashes", s["crashes"], s["crashes"] == 0)
        row("hung waits past their limit", s["hung"], s["hung"] == 0)
        width = max(len(r[0]) for r in rows)
        out = ["", "Soak result", "-" * (width + 30)]
        for name, value, verdict in rows:
            out.append("%-*s  %-20s %s" % (width, name, value, verdict))
        out.append("-" * (width + 30))
        passed = all(checks)
        out.append("PASS" if passed else "FAIL")
        for failure in self.failures[:40]:
            out.append("  " + failure)
        print("\n".join(out))
        return 0 if passed else 1

    def stop(self):
        tovarin, pellock = self.station_programs()
        for pid in processes_of({tovarin, pellock}):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        self.end_tools()
        for proc in self.children:
            proc.terminate()
        for proc in self.children:
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--short", action="store_true", help="3 minutes instead of 30")
    ap.add_argument("--minutes", type=float, default=None, help="length (default SOAK_MINUTES or 30)")
    ap.add_argument("--seed", type=int, default=int(os.environ.get("SOAK_SEED", "1")))
    ap.add_argument("--rate", type=float, default=float(os.environ.get("SOAK_RATE", "0.15")),
                    help="share of server requests given a fault")
    ap.add_argument("--kill-share", type=float, default=0.3, help="share of cycles with a launcher kill")
    ap.add_argument("--launcher-every", type=int, default=4, help="offer a launcher upgrade every N cycles")
    ap.add_argument("--memory-rounds", type=int, default=None)
    ap.add_argument("--stall-limit-ms", type=int, default=100)
    ap.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", "build"))
    ap.add_argument("--run-dir", default=os.path.join(ROOT, "soak-run"))
    ap.add_argument("--display", default=None, help="use this X display instead of a virtual one")
    args = ap.parse_args()
    if args.minutes is None:
        args.minutes = 3.0 if args.short else float(os.environ.get("SOAK_MINUTES", "30"))
    if args.memory_rounds is None:
        args.memory_rounds = 6 if args.minutes <= 5 else 25
    soak = Soak(args)
    try:
        code = soak.run()
    finally:
        soak.stop()
    sys.exit(code)


if __name__ == "__main__":
    main()
