#!/usr/bin/env python3
"""Smoke run of the real Tovarin.exe under wine, on a virtual display, against the stand-in
server on loopback: the login window shows, a login succeeds (MAINSET.ini written through the
Windows profile writer, the main window's first requests arrive), a second Tovarin.exe is
refused with -1, and after the first one is killed a new one starts. Given a launcher upgrade
package and the soak's build of the launcher (TovarinSoak.exe: Tovarin.exe with the soak driver,
which stations never get), a tool page round follows on the soak's build (two tools: a forced
package installs BPC, a tool starts through temp.bat, a second start is refused, closing ends
the tool), and then the launcher upgrades itself with the package: the soak's build, put in
the station as Tovarin.exe, logs in with its driver and accepts the offer, Pellock.exe installs the
package over the station, reports it and starts the package's Tovarin.exe, which is logged in
through its window. Exit status 0 when all of it holds; each step is printed.

usage: windows-smoke.py STATION_FOLDER OUTPUT_FOLDER [GRABSCREEN_EXE [UPGRADE_ZIP SOAK_LAUNCHER_EXE]]
"""
import base64
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.request
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
TITLE = "NORVEXA"


# Run before giving up (a screenshot of what the operator would see).
FAILURE_HOOKS = []


def fail(message):
    print("FAIL: " + message)
    for hook in FAILURE_HOOKS:
        try:
            hook()
        except Exception as e:  # noqa: BLE001  (the failure itself is what matters)
            print("      (%s)" % e)
    sys.exit(1)


def step(message):
    print("ok:   " + message, flush=True)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.3)
    fail("%s (waited %d s)" % (what, seconds))


def start_driven(soak_launcher, station, out, env, report_name, plan):
    """The soak's build of the launcher, put in the station as Tovarin.exe and driven by its
    driver with the plan; returns the process and a reader of its report: lines(WORD) gives the
    text after WORD on each line of that kind."""
    shutil.copyfile(soak_launcher, os.path.join(station, "Tovarin.exe"))
    report = os.path.join(out, report_name)
    child = subprocess.Popen([WINE_RUN, os.path.join(station, "Tovarin.exe")], cwd=station,
                             env=dict(env, TOVARIN_SOAK=report, TOVARIN_SOAK_PLAN=plan),
                             stdout=subprocess.DEVNULL, stderr=open(os.path.join(out, "wine.log"), "a"))

    def lines(word):
        try:
            with open(report, encoding="utf-8", errors="replace") as f:
                return [l.rstrip("\n").split(" ", 2)[2:] for l in f if l.split()[1:2] == [word]]
        except OSError:
            return []
    return child, lines


def self_update(package, soak_launcher, station, out, base, env, requests, windows, log_in):
    """The launcher's self-update with the given package, accepted by the soak build's driver."""
    version = "9.0.0.1"
    name = "Tovarin-%s.zip" % version
    with urllib.request.urlopen(base + "__control/ping", timeout=5) as answer:
        files = json.load(answer)["ports"]["files"]
    shutil.copyfile(package, os.path.join(files, name))
    packed = {}
    with zipfile.ZipFile(package) as z:
        for info in z.infolist():
            if not info.is_dir() and info.filename.startswith("Tovarin/"):
                packed[info.filename[len("Tovarin/"):]] = hashlib.sha256(z.read(info)).hexdigest()
    with urllib.request.urlopen(base + "__control/data", timeout=5) as answer:
        data = json.load(answer)
    for tool in data["tools"]:
        if tool["proToolId"] == "100":
            tool["package"] = {"versionNo": version, "versionUniqId": "V-100-" + version, "forceUpgrade": 0,
                               "versionRemark": "smoke upgrade", "file": name, "offer": "always", "offerTimes": 1}
    request = urllib.request.Request(base + "__control/data", data=json.dumps(data).encode("utf-8"),
                                     method="POST", headers={"Content-Type": "application/json"})
    urllib.request.urlopen(request, timeout=5).read()

    # Until the package replaces it, the soak's build stands in the station under the name the
    # updater starts again.
    child, lines = start_driven(soak_launcher, station, out, env, "self-update.txt", "rounds=1;upgrade=accept")
    wait_for(lambda: lines("UPGRADE"), 180, "the launcher is offered the package and accepts it")
    logins = len(requests("ToolClientConfigManageApi/toolLogin"))
    before = set(windows())
    step("the launcher accepted the upgrade to %s (%d files)" % (version, len(packed)))

    def installed():
        for rel, digest in packed.items():
            path = os.path.join(station, rel)
            if not os.path.isfile(path):
                return False
            with open(path, "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() != digest:
                    return False
        return True
    wait_for(installed, 180, "every file of the package stands in the station")
    step("Pellock.exe installed every file of the package")
    # The package's Tovarin.exe has no driver: it is logged in through its window.
    window = wait_for(lambda: [w for w in windows() if w not in before], 120,
                      "the new Tovarin.exe shows its login window")[0]
    log_in(window)
    wait_for(lambda: len(requests("ToolClientConfigManageApi/toolLogin")) > logins, 60,
             "the new Tovarin.exe logs in")
    wait_for(lambda: records_of(requests, "U-LAUNCHER-100"), 30, "the upgrade is reported")
    if not requests("files/%s.sig" % name):
        fail("the launcher staged its package without fetching its signature")
    step("the new Tovarin.exe started and logged in, and the upgrade was reported")
    try:
        child.wait(60)
    except subprocess.TimeoutExpired:
        child.kill()


def records_of(requests, tool_uniq_id):
    """The upgrade records the server received for one tool."""
    return [r for r in requests("ToolClientConfigManageApi/recordProToolUpgrade")
            if tool_uniq_id in json.dumps(r, ensure_ascii=False).split('"')]


def tool_round(soak_launcher, demotool, station, out, base, env, requests):
    """A tool page round on the soak's launcher: a forced package installs one of two tools, a
    forced package of a third tool whose signature does not verify is refused and leaves it as
    it was, a tool starts through temp.bat, a second start is refused, and closing ends the
    tool."""
    with urllib.request.urlopen(base + "__control/ping", timeout=5) as answer:
        files = json.load(answer)["ports"]["files"]
    maker = [sys.executable, "-B", os.path.join(ROOT, "devserver", "toolpackage.py")]
    # BPC is offered 1.5.0.0 as a forced upgrade; IPCProductCheck stands at its offered version.
    subprocess.run(maker + ["zip", "-o", os.path.join(files, "BPC-1.5.0.0.zip"), "--version", "1.5.0.0",
                            "--folder", "BPC", "--exe", "BPC", "--suffix", ".exe", "--binary", demotool,
                            "--file", "config.ini=[BPC]"], check=True)
    # IPCamSuite is offered 3.0.2.0 as a forced upgrade too, with a signature by another key.
    refused = "IPCamSuite-3.0.2.0.zip"
    subprocess.run(maker + ["zip", "-o", os.path.join(files, refused), "--version", "3.0.2.0",
                            "--folder", "IPCamSuite", "--exe", "IPCamSuite", "--suffix", ".exe", "--binary",
                            demotool], check=True)
    with open(os.path.join(files, refused + ".sig"), "w") as f:
        f.write(base64.b64encode(os.urandom(64)).decode("ascii"))
    with urllib.request.urlopen(base + "__control/data", timeout=5) as answer:
        data = json.load(answer)
    for tool in data["tools"]:
        if tool["proToolId"] == "103":
            tool["package"].update(forceUpgrade=1, versionNo="3.0.2.0", file=refused)
    urllib.request.urlopen(urllib.request.Request(base + "__control/data", data=json.dumps(data).encode("utf-8"),
                                                  method="POST", headers={"Content-Type": "application/json"}),
                           timeout=5).read()
    for key, version in (("BPC", "1.0.0.0"), ("IPCProductCheck", "2.1.0.0"), ("IPCamSuite", "3.0.0.0")):
        os.makedirs(os.path.join(station, key), exist_ok=True)
        subprocess.run(maker + ["exe", "-o", os.path.join(station, key, key + ".exe"), "--version", version,
                                "--binary", demotool], check=True)
    with open(os.path.join(station, "IPCamSuite", "IPCamSuite.exe"), "rb") as f:
        old_suite = f.read()
    with open(os.path.join(station, "CONFIGSET.ini"), "a", newline="") as f:
        f.write("\r\n[IPCProductCheck]\r\nID=101\r\nPath=./IPCProductCheck/\r\nExe=IPCProductCheck\r\n"
                "\r\n[BPC]\r\nID=102\r\nPath=./BPC/\r\nExe=BPC\r\n"
                "\r\n[IPCamSuite]\r\nID=103\r\nPath=./IPCamSuite/\r\nExe=IPCamSuite\r\n")
    mainset = os.path.join(station, "MAINSET.ini")
    text = open(mainset, encoding="utf-8", newline="").read()
    selected = re.sub(r"(\[SelectedTools\]\r?\ntool1=101\r?\n)", lambda m: m.group(1) + "tool2=102\r\ntool3=103\r\n",
                      text)
    if selected == text:
        fail("MAINSET.ini has no [SelectedTools] with tool1=101 to add BPC to")
    open(mainset, "w", encoding="utf-8", newline="").write(selected)
    with zipfile.ZipFile(os.path.join(files, "BPC-1.5.0.0.zip")) as z:
        new_bpc = z.read("BPC/BPC.exe")

    child, lines = start_driven(soak_launcher, station, out, env, "tool-round.txt",
                                "rounds=0;again=1;upgrade=decline")

    def tool_processes():
        found = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
        return [l for l in found.splitlines() if "BPC.exe" in l or "IPCProductCheck.exe" in l]

    wait_for(lambda: lines("TOAST"), 240, "a tool starts and is pressed again")
    with open(os.path.join(station, "BPC", "BPC.exe"), "rb") as f:
        if f.read() != new_bpc:
            fail("the forced package did not replace BPC.exe")
    if not records_of(requests, "U-BPC-102"):
        fail("the forced installation of BPC was not reported")
    if not requests("files/BPC-1.5.0.0.zip.sig"):
        fail("the launcher installed BPC without fetching its signature")
    step("the forced package installed BPC 1.5.0.0, its signature checked, and was reported")
    wait_for(lambda: requests("files/%s.sig" % refused), 60, "the launcher fetches IPCamSuite's signature")
    suite = os.path.join(station, "IPCamSuite")
    def daily_log():
        folder = os.path.join(station, "log")
        names = os.listdir(folder) if os.path.isdir(folder) else []
        return "".join(open(os.path.join(folder, n), encoding="utf-8", errors="replace").read() for n in names)
    wait_for(lambda: refused + ".sig" in daily_log(), 60, "the refusal of IPCamSuite's package is in the daily log")
    with open(os.path.join(suite, "IPCamSuite.exe"), "rb") as f:
        if f.read() != old_suite:
            fail("a package whose signature does not verify replaced IPCamSuite.exe")
    if sorted(os.listdir(suite)) != ["IPCamSuite.exe"]:
        fail("the refused package left %s in IPCamSuite" % sorted(os.listdir(suite)))
    if records_of(requests, "U-IPCAMSUITE-103"):
        fail("the refused package of IPCamSuite was reported as an upgrade")
    staged = [os.path.join(d, n) for d, _, names in os.walk(station) for n in names if n.startswith(refused)]
    if staged:
        fail("the refused package is left in the station: %s" % staged)
    step("the package of IPCamSuite signed by another key was refused: nothing installed or reported")
    running = lines("RUNNING")[0][0]
    step("%s started through temp.bat and is listed running" % running)
    toast = lines("TOAST")[0][0]
    if toast != "程序已打开，无法再次启动":
        fail("a second start of %s showed %r" % (running, toast))
    step("a second start of %s is refused: %s" % (running, toast))
    try:
        child.wait(120)
    except subprocess.TimeoutExpired:
        fail("the launcher did not close")
    wait_for(lambda: not tool_processes(), 30, "closing the launcher ends %s" % running)
    step("closing the launcher ended %s" % running)


def main():
    station_src, out = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shutil.rmtree(out, ignore_errors=True)
    station = os.path.join(out, "station")
    shutil.copytree(station_src, station)
    if len(sys.argv) > 3 and os.path.exists(sys.argv[3]):
        shutil.copy(sys.argv[3], os.path.join(station, "grabscreen.exe"))
    children = []
    env = {}

    def cleanup():
        for child in children:
            if child.poll() is None:
                child.kill()
        if env:
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    try:
        # --- the stand-in server ---
        ready = os.path.join(out, "ports.json")
        log = open(os.path.join(out, "devserver.log"), "w")
        # Every package the server hands out is signed with a key made for this run, and the
        # station accepts only that key: the tool round and the self-update go through the checks.
        key = os.path.join(out, "smoke-signing-key.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True)
        children.append(subprocess.Popen([sys.executable, "-B", os.path.join(ROOT, "devserver", "devserver.py"),
                                          "--no-https", "--ready-file", ready, "--signing-key", key],
                                         stdout=log, stderr=log))
        wait_for(lambda: os.path.exists(ready) and os.path.getsize(ready) > 0, 20, "the stand-in server starts")
        port = json.load(open(ready))["http"]
        configset = os.path.join(station, "CONFIGSET.ini")
        text = open(configset, encoding="utf-8", newline="").read()
        keyed = re.sub(r"(\[Tovarin\]\r?\n)", lambda m: m.group(1) + "PackageKeys=%s\r\n"
                       % json.load(open(ready))["packageKey"], text, count=1)
        if keyed == text:
            fail("CONFIGSET.ini has no [Tovarin] section to add PackageKeys to")
        open(configset, "w", encoding="utf-8", newline="").write(keyed)
        base = "http://127.0.0.1:%d/" % port

        def requests(path):
            with urllib.request.urlopen(base + "__control/requests?path=" + path, timeout=5) as answer:
                return json.load(answer)

        with open(os.path.join(station, "serverConfig.ini"), "w", newline="") as f:
            f.write("[ServerDomainName]\r\nDomainName=%s\r\n\r\n[ServerManagerName]\r\nDomainName=%s\r\n\r\n"
                    "[ServerPPCName]\r\nDomainName=%s\r\n" % (base, base, base))
        with open(os.path.join(station, "MAINSET.ini"), "w", newline="") as f:
            f.write("[UserInfo]\r\nUserPosition=FT01\r\nUserLinePosition=L01\r\nUserWorkPosition=W01\r\n"
                    "EmployeeNumber=E1001\r\n\r\n[SelectedTools]\r\ntool1=101\r\n")
        step("station laid out in %s, server on %s" % (station, base))

        # --- the virtual display ---
        display_file = os.path.join(out, "display")
        with open(display_file, "w") as number:
            children.append(subprocess.Popen(["Xvfb", "-displayfd", str(number.fileno()), "-screen", "0",
                                              "1600x1000x24", "-nolisten", "tcp", "-noreset"],
                                             pass_fds=(number.fileno(),), stderr=subprocess.DEVNULL))
        wait_for(lambda: open(display_file).read().strip(), 20, "the virtual display starts")
        # A wine prefix of its own: wine binds its desktop to the display of the first program
        # of a prefix, and the test programs run without one.
        env = dict(os.environ, DISPLAY=":" + open(display_file).read().strip(), LANG="C.UTF-8",
                   WINEPREFIX=os.environ.get("TOVARIN_SMOKE_WINEPREFIX", "/var/tmp/tovarin-wineprefix-smoke"))
        env.pop("QT_QPA_PLATFORM", None)  # the Windows platform plugin, on wine's X11 driver

        def xdo(*args):
            return subprocess.run(["xdotool"] + list(args), env=env, capture_output=True, text=True).stdout

        def windows():
            return [w for w in xdo("search", "--onlyvisible", "--name", TITLE).split() if w]

        def launcher():
            child = subprocess.Popen([WINE_RUN, os.path.join(station, "Tovarin.exe")], cwd=station, env=env,
                                     stdout=subprocess.DEVNULL, stderr=open(os.path.join(out, "wine.log"), "a"))
            children.append(child)
            return child

        def screenshot(name):
            path = os.path.join(out, name)
            subprocess.run([WINE_RUN, os.path.join(station, "grabscreen.exe"), path], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            return path

        if os.path.exists(os.path.join(station, "grabscreen.exe")):
            FAILURE_HOOKS.append(lambda: print("      screenshot: " + screenshot("failure.png")))

        def log_in(window):
            # The account field has the focus; after a first login it holds that account.
            xdo("windowfocus", "--sync", window)
            xdo("key", "ctrl+a")
            xdo("type", "--delay", "40", "operator")
            xdo("key", "Tab")
            xdo("key", "ctrl+a")
            xdo("type", "--delay", "40", "123456")
            xdo("key", "Return")

        # --- the login window, and a login ---
        first = launcher()
        window = wait_for(windows, 90, "the login window shows")[0]
        step("the login window shows (X window %s)" % window)
        time.sleep(1)
        if os.path.exists(os.path.join(station, "grabscreen.exe")):
            step("screenshot: " + screenshot("login.png"))
        log_in(window)
        wait_for(lambda: requests("ToolClientConfigManageApi/toolLogin"), 30, "the login request arrives")

        def account_written():
            try:
                text = open(os.path.join(station, "MAINSET.ini"), encoding="utf-8").read()
            except OSError:
                return False
            return "Account=operator" in text.replace(" ", "")
        wait_for(account_written, 30, "MAINSET.ini holds the account after the login")
        step("login accepted; MAINSET.ini holds [LoginUser] Account=operator")

        def main_window_asking():
            seen = [r.get("path", "") for r in requests("")]
            return any("toolLogin" not in p and not p.startswith("/__control") for p in seen)
        wait_for(main_window_asking, 60, "the main window's requests after the login")
        time.sleep(2)
        if os.path.exists(os.path.join(station, "grabscreen.exe")):
            step("screenshot: " + screenshot("main.png"))
        step("the main window talks to the server")

        # --- a second launcher says so in a message box, and is refused ---
        before = set(windows())
        second = launcher()
        box = wait_for(lambda: [w for w in windows() if w not in before], 90,
                       "the second Tovarin.exe shows its message")[0]
        time.sleep(1)
        if os.path.exists(os.path.join(station, "grabscreen.exe")):
            step("screenshot: " + screenshot("second.png"))
        xdo("windowfocus", "--sync", box)
        xdo("key", "Return")
        try:
            code = second.wait(60)
        except subprocess.TimeoutExpired:
            fail("a second Tovarin.exe did not end within 60 s")
        if code != 255:
            fail("a second Tovarin.exe ended with %d, not -1 (255)" % code)
        if first.poll() is not None:
            fail("the first Tovarin.exe ended when the second started")
        step("a second Tovarin.exe ends at once with -1")

        # --- a killed launcher does not block the next one ---
        first.send_signal(signal.SIGKILL)
        first.wait(10)
        wait_for(lambda: not windows(), 30, "the killed launcher's windows go away")
        third = launcher()
        wait_for(windows, 90, "a new launcher shows its login window after the first was killed")
        if third.poll() is not None:
            fail("the launcher after the killed one ended with %s" % third.returncode)
        step("after the first launcher was killed, a new one starts and shows its login window")

        if len(sys.argv) > 5:
            third.send_signal(signal.SIGKILL)
            third.wait(10)
            wait_for(lambda: not windows(), 30, "the killed launcher's windows go away")
            demotool = os.path.join(os.path.dirname(os.path.abspath(sys.argv[3])), "demotool.exe")
            tool_round(sys.argv[5], demotool, station, out, base, env, requests)
        if len(sys.argv) > 4:
            if len(sys.argv) < 6:
                fail("the self-update needs the soak's launcher (TovarinSoak.exe) after the package")
            if third.poll() is None:
                third.send_signal(signal.SIGKILL)
                third.wait(10)
            wait_for(lambda: not windows(), 30, "the launcher's windows go away")
            self_update(sys.argv[4], sys.argv[5], station, out, base, env, requests, windows, log_in)
        print("PASS: Windows smoke run")
    finally:
        cleanup()


if __name__ == "__main__":
    main()
