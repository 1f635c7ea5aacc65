#!/usr/bin/env python3
"""Smoke run of the real Tovarin.exe under wine, on a virtual display, against the stand-in
server on loopback: the login window shows, a login succeeds (MAINSET.ini written through the
Windows profile writer, the main window's first requests arrive), a second Tovarin.exe is
refused with -1, and after the first one is killed a new one starts. Exit status 0 when all
of it holds; each step is printed.

usage: windows-smoke.py STATION_FOLDER OUTPUT_FOLDER [GRABSCREEN_EXE]
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
TITLE = "NORVEXA"


def fail(message):
    print("FAIL: " + message)
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
        children.append(subprocess.Popen([sys.executable, "-B", os.path.join(ROOT, "devserver", "devserver.py"),
                                          "--no-https", "--ready-file", ready], stdout=log, stderr=log))
        wait_for(lambda: os.path.exists(ready) and os.path.getsize(ready) > 0, 20, "the stand-in server starts")
        port = json.load(open(ready))["http"]
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

        # --- the login window, and a login ---
        first = launcher()
        window = wait_for(windows, 90, "the login window shows")[0]
        step("the login window shows (X window %s)" % window)
        time.sleep(1)
        if os.path.exists(os.path.join(station, "grabscreen.exe")):
            step("screenshot: " + screenshot("login.png"))
        xdo("windowfocus", "--sync", window)
        xdo("type", "--delay", "40", "operator")
        xdo("key", "Tab")
        xdo("type", "--delay", "40", "123456")
        xdo("key", "Return")
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
        print("PASS: Windows smoke run")
    finally:
        cleanup()


if __name__ == "__main__":
    main()
