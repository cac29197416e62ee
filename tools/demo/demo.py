#!/usr/bin/env python3
"""./kesi demo: the client as a user meets it, on a fresh Wine prefix.

The appliance simulator serves its download page; the page and the two files a user needs (the
bootstrapper and kesi.msi) are fetched into one folder as a browser saves them; the bootstrapper runs there
in program mode, finds the page's browser window (the browser stand-in kesibrowser.dll), installs kesi.msi
and runs its first interrogation; a page stand-in then calls DoVistaInterrogation, which the broker serves;
kesiuninstall removes everything, its question answered "Yes" by kesianswer. The run shows each stage's
wall time, the results as the appliance received them, the zone and the client's log, and compares the
prefix's uninstall lists, application-data folder and COM registration with what they were before the
install. Exit 0 only when every stage succeeded.

  demo.py [--preset win64|win32] [--build DIR] [--prefix DIR] [--check]

--check (the end-to-end test) prints every check with its verdict and the differences in full.
"""

import argparse
import http.cookiejar
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SIMULATOR = os.path.join(TOP, "tests", "appliance", "simulator.py")
SCENARIO = os.path.join(TOP, "tests", "appliance", "scenarios", "default.json")
PAGE_SCRIPT = os.path.join(TOP, "tests", "broker", "scripts", "vista.js")
STATE_SCRIPT = os.path.join(TOP, "tools", "demo", "productstate.js")
PAGE_PATH = "/postauth/__EPCinterrogatorpage"
QUESTION_TITLE = "Add or Remove Programs"
PROGID = "Velmora.KESInterrogator"
WINE64 = "/usr/lib/wine/wine64"

# Registry subtrees compared before the install and after the uninstall (file, key prefix, what it is).
REGISTRY_AREAS = [
    ("system.reg", "Software\\Classes", "COM registration (machine classes, both views)"),
    ("user.reg", "Software\\Classes", "COM registration (the user's classes)"),
    ("system.reg", "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "uninstall list (64-bit view)"),
    ("system.reg", "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
     "uninstall list (32-bit view)"),
    ("system.reg", "Software\\Velmora", "client's uninstall list (64-bit view)"),
    ("system.reg", "Software\\Wow6432Node\\Velmora", "client's uninstall list (32-bit view)"),
    ("user.reg", "Software\\Velmora", "client's uninstall list (the user's)"),
]


class DemoError(Exception):
    pass


# ------------------------------------------------------------------------------------------- output

class Report:
    def __init__(self, check):
        self.check_mode = check
        self.failures = []

    def line(self, text=""):
        print(text, flush=True)

    def heading(self, text):
        self.line()
        self.line(text)

    def check(self, name, ok, detail=""):
        """Records a check; a failure is always shown, a success only in check mode."""
        if not ok:
            self.failures.append(name)
        if self.check_mode or not ok:
            self.line("  check %-44s %s%s" % (name, "ok" if ok else "FAILED", (": " + detail) if detail else ""))
        return ok


def mask(token):
    """The token as the client's logs show it: at most four characters, then its length."""
    shown = min(len(token) // 2, 4)
    return "%s***(%d)" % (token[:shown], len(token))


def milliseconds(value):
    """A stage's time. The script's clock counts whole milliseconds, so a span between it and the journal
    may come out a little below 0: shown as 0."""
    return "%7s ms" % format(max(0, round(value * 1000)), ",") if value is not None else "      - ms"


# ------------------------------------------------------------------------------------------- Wine

def finished(command, env, cwd, timeout):
    """Runs a program to its end. Its output goes through files, not pipes: a program it starts (the broker)
    inherits them and runs on, and a pipe would stay open until that one ended too."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                              timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(command, done.returncode, out.read().decode("utf-8", "replace"),
                                           err.read().decode("utf-8", "replace"))


class Wine:
    """Programs of one build in the demo's own prefix."""

    def __init__(self, build, prefix, bits):
        self.build = build
        self.prefix = prefix
        self.bits = bits
        self.run_script = os.path.join(build, "wine-run")
        self.env = dict(os.environ, KESI_WINEPREFIX=prefix, WINEPREFIX=prefix, WINEDEBUG="-all")

    def make_prefix(self):
        if os.path.exists(self.prefix):
            self.stop_server()
            shutil.rmtree(self.prefix)
        start = time.time()
        done = subprocess.run([self.run_script, "--prepare"], env=self.env, capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            raise DemoError("the Wine prefix could not be made: %s" % done.stderr.strip())
        return time.time() - start

    def run(self, args, timeout, cwd=None, extra_env=None):
        return finished([self.run_script] + list(args), dict(self.env, **(extra_env or {})), cwd, timeout)

    def start(self, args, cwd=None, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.Popen([self.run_script] + list(args), env=env, cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")

    def script(self, args, timeout):
        """cscript of the build's bitness: the plain loader starts the 32-bit host even from system32, so the
        64-bit build's host is started by Wine's 64-bit loader."""
        host = ["cscript.exe", "//nologo"]
        if self.bits == 64:
            return finished([WINE64] + host + list(args), self.env, None, timeout)
        return self.run(host + list(args), timeout)

    def processes(self, name):
        """Process ids of the prefix's programs whose image is name (without regard to case)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as handle:
                    image = handle.read().split(b"\0")[0].decode("utf-8", "replace")
                with open("/proc/%s/environ" % pid, "rb") as handle:
                    environment = handle.read().split(b"\0")
            except OSError:
                continue
            if image.replace("/", "\\").rsplit("\\", 1)[-1].lower() == name.lower() and \
                    ("WINEPREFIX=" + self.prefix).encode() in environment:
                found.append(int(pid))
        return found

    def windows_path(self, path):
        done = subprocess.run(["winepath", "-w", path], env=self.env, capture_output=True, text=True, timeout=60)
        return done.stdout.strip()

    def persistent_server(self):
        subprocess.run(["wineserver", "-p"], env=self.env, check=False, timeout=60)
        # The session's first program starts Wine's own services: not part of any stage's time.
        self.run(["cmd", "/c", "exit", "0"], timeout=120)

    def stop_server(self):
        """Ends every program of the prefix and its wineserver, which writes the registry out."""
        subprocess.run(["wineserver", "-k"], env=self.env, check=False, capture_output=True, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, capture_output=True, timeout=120)

    def wait_server(self):
        """Waits for the wineserver to end by itself (no program left), which writes the registry out."""
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, capture_output=True, timeout=120)

    def user_folder(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        names = [n for n in os.listdir(users) if n != "Public" and os.path.isdir(os.path.join(users, n))]
        if len(names) != 1:
            raise DemoError("cannot tell the prefix's user from %s" % names)
        return os.path.join(users, names[0])

    def app_data(self):
        return os.path.join(self.user_folder(), "AppData", "Roaming")


# -------------------------------------------------------------------------------- prefix snapshots

def read_registry(path):
    """Wine's registry file as {lower-case key: (key, [value lines])}, modification times left out."""
    keys = {}
    current = None
    with open(path, encoding="utf-8", errors="replace") as handle:
        pending = ""
        for raw in handle:
            line = pending + raw.rstrip("\n")
            if line.endswith("\\") and not line.startswith("["):
                pending = line[:-1]
                continue
            pending = ""
            if line.startswith("["):
                name = line[1:line.rindex("]")].replace("\\\\", "\\")
                current = (name, [])
                keys[name.lower()] = current
            elif current is not None and line and not line.startswith("#time=") and not line.startswith(";"):
                current[1].append(line.strip())
    return keys


def registry_snapshot(prefix):
    snapshot = {}
    for file, area, _ in REGISTRY_AREAS:
        keys = read_registry(os.path.join(prefix, file))
        start = area.lower()
        snapshot[(file, area)] = {name: (key, sorted(values)) for name, (key, values) in keys.items()
                                  if name == start or name.startswith(start + "\\")}
    return snapshot


# The Windows Installer keeps these containers of its product records once it has made them, empty.
INSTALLER_CONTAINERS = ("software\\classes\\installer\\",)


def registry_changes(before, after):
    """{(file, area): ["+ key", "- key", "~ key: value lines"]}; keys the Windows Installer made for its own
    records and left empty do not count."""
    changes = {}
    for place in before:
        old, new = before[place], after[place]
        lines = []
        for name in sorted(set(old) | set(new)):
            if name not in old and not new[name][1] and name.startswith(INSTALLER_CONTAINERS) and \
                    not any(other.startswith(name + "\\") for other in new):
                continue
            if name not in old:
                lines.append("+ [%s] %s" % (new[name][0], "; ".join(new[name][1])))
            elif name not in new:
                lines.append("- [%s]" % old[name][0])
            elif old[name][1] != new[name][1]:
                lines.append("~ [%s] was %s, now %s" % (old[name][0], "; ".join(old[name][1]) or "(empty)",
                                                         "; ".join(new[name][1]) or "(empty)"))
        changes[place] = lines
    return changes


def folder_listing(root):
    listing = set()
    for folder, subfolders, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        for name in subfolders:
            listing.add(os.path.normpath(os.path.join(relative, name)) + "/")
        for name in files:
            listing.add(os.path.normpath(os.path.join(relative, name)))
    return listing


# ----------------------------------------------------------------------------------- the appliance

class Simulator:
    def __init__(self, work, downloads):
        self.journal_path = os.path.join(work, "journal.jsonl")
        self.process = subprocess.Popen(
            [sys.executable, SIMULATOR, "--port", "0", "--scenario", SCENARIO, "--journal", self.journal_path,
             "--downloads", downloads], stdout=subprocess.PIPE, stderr=open(os.path.join(work, "simulator.err"), "w"),
            text=True)
        line = self.process.stdout.readline().split()
        if line[:1] != ["LISTENING"]:
            self.stop()
            raise DemoError("the appliance simulator did not start (%s)" % os.path.join(work, "simulator.err"))
        self.base = "https://%s:%s" % (line[1], line[2])

    def journal(self):
        entries = []
        with open(self.journal_path, encoding="utf-8") as handle:
            for line in handle:
                if line.strip():
                    entries.append(json.loads(line))
        return sorted(entries, key=lambda e: e["index"])

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Browser:
    """A user's browser: keeps the appliance's cookies and saves downloads into one folder. The simulator's
    certificate is self-signed and made at start, so it is not verified."""

    def __init__(self):
        self.cookies = http.cookiejar.CookieJar()
        context = ssl._create_unverified_context()
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(self.cookies),
                                                  urllib.request.HTTPSHandler(context=context))

    def get(self, url):
        with self.opener.open(url, timeout=60) as response:
            return response.read(), response.headers

    def save(self, url, folder):
        data, headers = self.get(url)
        name = headers.get_filename() or os.path.basename(urllib.parse.urlsplit(url).path)
        with open(os.path.join(folder, name), "wb") as handle:
            handle.write(data)
        return name, len(data)

    def cookie_text(self):
        return "; ".join("%s=%s" % (c.name, c.value) for c in self.cookies)

    def cookie(self, name):
        return next((c.value for c in self.cookies if c.name == name), None)


# ------------------------------------------------------------------------------------- the journal

def logon_calls(entries, since, until=None):
    return [e for e in entries if e.get("procedure") is not None and e["started"] >= since and
            (until is None or e["started"] < until)]


def first_call(calls, procedure):
    return next((e for e in calls if e["procedure"] == procedure), None)


def span(start, end):
    return end - start if start is not None and end is not None else None


def check_exchange(report, label, calls, token, session):
    """The logon interrogation's calls: a resumed session (the page's token), the list, the agent list,
    the results and the deploy list, each answered 200 without a departure."""
    procedures = [e["procedure"] for e in calls]
    report.check("%s: calls 8, 10, 17, 11, 12" % label,
                 all(p in procedures for p in (8, 10, 17, 11, 12)), "procedures %s" % procedures)
    report.check("%s: answered 200, no departures" % label,
                 bool(calls) and all(e["status"] == 200 and not e.get("problems") for e in calls),
                 "; ".join("%s %s %s" % (e["procedure"], e["status"], e.get("problems")) for e in calls
                           if e["status"] != 200 or e.get("problems")))
    resume = first_call(calls, 8)
    report.check("%s: session resumed with the token" % label,
                 resume is not None and resume["arguments"][1:2] == [token],
                 "procedure 8 %s" % (resume["arguments"] if resume else "missing"))
    in_session = [e for e in calls if e["procedure"] in (10, 11, 12, 13, 17, 19)]
    report.check("%s: the session in every call" % label,
                 bool(in_session) and all(e["arguments"][1:2] == [session] for e in in_session),
                 ", ".join("%d %s" % (e["procedure"], e["arguments"][1:2]) for e in in_session
                           if e["arguments"][1:2] != [session]))
    post = first_call(calls, 11)
    results = post["arguments"][2] if post and len(post["arguments"]) > 2 else []
    return results, (post["arguments"][3] if post and len(post["arguments"]) > 3 else [])


# ------------------------------------------------------------------------------------- the logs

def deciphered(wine, path):
    """A log deciphered by the build's kesilog (plain lines pass through)."""
    if not os.path.isfile(path):
        return []
    kesilog = os.path.join(wine.build, "tools", "kesilog", "kesilog.exe")
    with open(path, "rb") as handle, tempfile.TemporaryFile() as out:
        subprocess.run([wine.run_script, kesilog], stdin=handle, stdout=out, stderr=subprocess.DEVNULL, env=wine.env,
                       timeout=120)
        out.seek(0)
        return out.read().decode("utf-8", "replace").replace("\r", "").splitlines()


LOG_EXCERPT = re.compile(
    r"BOOTSTRAPPER: (kesi\.msi install|browser located|beginning interrogation|navigat)|installPackage: "
    r"(installing|MsiInstallProduct|ERROR_SUCCESS)|DoInterrogatorActions: DoInterrogationLogon|"
    r"GetConfigurationLogon\(\) (parsed|connected|got list)|PostResultLogon\(\) successfully|"
    r"[Ii]nterrogation (command|result)|[Bb]roker|RemoteIt|Zone|zone \[", re.I)


def log_excerpt(lines, token, limit):
    picked = [line for line in lines if LOG_EXCERPT.search(line)]
    if len(picked) > limit:
        picked = picked[:limit // 2] + ["..."] + picked[-(limit - limit // 2):]
    return [line.replace(token, mask(token)) for line in picked]


# ------------------------------------------------------------------------------------------ run

def product_code():
    """The client package's product code, where the build defines it for every package and test."""
    with open(os.path.join(TOP, "cmake", "Packages.cmake"), encoding="utf-8") as rules:
        found = re.search(r'set\(KESI_CLIENT_PRODUCT_CODE "(\{[0-9A-F-]+\})"\)', rules.read())
    if not found:
        raise SystemExit("demo: cmake/Packages.cmake names no KESI_CLIENT_PRODUCT_CODE")
    return found.group(1)


def answer_question(wine):
    """kesianswer waits for kesiuninstall's question and presses "Yes", as a user would."""
    answer = os.path.join(wine.build, "tests", "fixtures", "answerbox", "kesianswer.exe")
    return wine.start([answer, QUESTION_TITLE, "yes", "120"])


def run(args):
    preset = args.preset
    bits = 32 if preset == "win32" else 64
    build = os.path.abspath(args.build or os.path.join(TOP, "build", preset))
    prefix = os.path.abspath(args.prefix or os.path.join(build, "demo-prefix"))
    work = os.path.join(os.path.dirname(prefix), os.path.basename(prefix) + "-files")
    report = Report(args.check)
    files = {
        "bootstrapper": os.path.join(build, "src", "bootstrapper", "kesiMsiBootstraper.exe"),
        "kesi.msi": os.path.join(build, "packaging", "kesi.msi"),
        "kesiVista.msi": os.path.join(build, "packaging", "kesiVista.msi"),
        "kesiuninstall": os.path.join(build, "src", "uninstaller", "kesiuninstall.exe"),
        "kesilog": os.path.join(build, "tools", "kesilog", "kesilog.exe"),
        "browser stand-in": os.path.join(build, "tests", "fixtures", "browser", "kesibrowser.dll"),
        "kesianswer": os.path.join(build, "tests", "fixtures", "answerbox", "kesianswer.exe"),
        "wine-run": os.path.join(build, "wine-run"),
    }
    missing = [path for path in files.values() if not os.path.exists(path)]
    if missing:
        raise DemoError("missing (build the %s preset first): %s" % (preset, ", ".join(missing)))

    wine = Wine(build, prefix, bits)
    report.line("KESI demo: the client as a user meets it (%d-bit build, %s)" % (bits, os.path.relpath(build, TOP)))
    made = wine.make_prefix()
    report.line("  Wine prefix   %s, made fresh in %.1f s" % (os.path.relpath(prefix, TOP), made))
    # A new Wine prefix has UAC off (EnableLUA 0); Windows has it on, and with it off the bootstrapper wants
    # a Java runtime and asks with a message box first.
    lua = wine.run(["reg", "add", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", "/v",
                    "EnableLUA", "/t", "REG_DWORD", "/d", "1", "/f"], timeout=120)
    if lua.returncode != 0:
        raise DemoError("EnableLUA could not be set: %s" % lua.stderr.strip())
    report.line("  UAC           on (EnableLUA 1, as Windows has it; a new Wine prefix has it off)")
    shutil.rmtree(work, ignore_errors=True)
    downloads = os.path.join(work, "Downloads")
    served = os.path.join(work, "served")
    os.makedirs(downloads)
    os.makedirs(served)
    for name in ("bootstrapper", "kesi.msi", "kesiVista.msi"):
        shutil.copy2(files[name], served)

    # The browser stand-in is the shell's window list in this prefix only; the snapshot follows it.
    registered = wine.run(["regsvr32", "/s", files["browser stand-in"]], timeout=120)
    if registered.returncode != 0:
        raise DemoError("regsvr32 of the browser stand-in gave %d: %s" % (registered.returncode,
                                                                         registered.stderr.strip()))
    # The script host registers its own type library when it first runs: that run, which also shows that
    # the client is not installed yet, comes before the snapshot.
    code = product_code()
    before_state = wine.script([wine.windows_path(STATE_SCRIPT), code], timeout=120).stdout.strip()
    report.line("  before        kesi.msi %s: %s (not installed)" % (code, before_state))
    report.check("kesi.msi not installed before", before_state == "state -1", before_state)
    wine.wait_server()
    app_data = wine.app_data()
    before_registry = registry_snapshot(prefix)
    before_files = folder_listing(app_data)

    simulator = Simulator(work, served)
    try:
        return product_path(args, report, wine, simulator, files, downloads, work, app_data, before_registry,
                            before_files)
    finally:
        simulator.stop()
        wine.stop_server()


def product_path(args, report, wine, simulator, files, downloads, work, app_data, before_registry, before_files):
    base = simulator.base
    report.line("  appliance     %s (simulator, scenario %s)" % (base, os.path.basename(SCENARIO)))

    # 1. The download page, as a browser fetches it.
    report.heading("1. Download page  %s%s" % (base, PAGE_PATH))
    browser = Browser()
    page, _ = browser.get(base + PAGE_PATH)
    links = re.findall(r'href="([^"]+)"', page.decode("utf-8", "replace"))
    token = browser.cookie("FARLINK_ID") or ""
    report.line("   links     %s" % ", ".join(os.path.basename(link) for link in links))
    report.line("   cookies   %s" % "; ".join(
        "%s=%s" % (c.name, mask(c.value) if c.name == "FARLINK_ID" else c.value.replace(base, "${BASE}"))
        for c in browser.cookies))
    saved = []
    for wanted in ("kesiMsiBootstraper.exe", "kesi.msi"):
        link = next((l for l in links if os.path.basename(l) == wanted), None)
        if not report.check("page links %s" % wanted, link is not None, "links %s" % links):
            raise DemoError("the download page does not link %s" % wanted)
        saved.append(browser.save(urllib.parse.urljoin(base, link), downloads))
    report.line("   saved     %s  -> %s" % (", ".join("%s (%s bytes)" % (n, format(s, ",")) for n, s in saved),
                                           os.path.relpath(downloads, TOP)))
    report.check("session token set", bool(token))

    # 2. The user runs the bootstrapper from the download folder; its browser window shows the page.
    state = os.path.join(work, "browser-state.txt")
    with open(state, "w", encoding="utf-8") as handle:
        handle.write("url %s%s\ncookie %s\n" % (base, PAGE_PATH, browser.cookie_text()))
    report.heading("2. Bootstrapper  kesiMsiBootstraper.exe in the download folder, program mode (no command line)")
    wine.persistent_server()
    code = product_code()
    bootstrap_start = time.time()
    boot = wine.run([os.path.join(downloads, "kesiMsiBootstraper.exe")], timeout=300, cwd=downloads,
                    extra_env={"KESI_BROWSER_STATE": wine.windows_path(state)})
    bootstrap_end = time.time()
    state_done = wine.script([wine.windows_path(STATE_SCRIPT), code], timeout=120)
    product_state = state_done.stdout.strip()
    with open(state, encoding="utf-8") as handle:
        browser_lines = [line.rstrip("\n") for line in handle]
    navigated = [line.split(" ", 1)[1] for line in browser_lines if line.startswith("navigate ")]
    put_cookies = [line.split(" ", 1)[1] for line in browser_lines if line.startswith("put_cookie ")]
    success = browser.cookie("successUrl")
    report.line("   exit code %d; kesi.msi %s: %s" % (boot.returncode, code, product_state or state_done.stderr.strip()))
    report.line("   browser   sent to %s%s" % (", ".join(u.replace(base, "${BASE}") for u in navigated) or "nowhere",
                                             ("; cookies written: " + ", ".join(put_cookies)) if put_cookies else ""))
    report.check("bootstrapper result 0", boot.returncode == 0, "exit code %d" % boot.returncode)
    report.check("kesi.msi installed (product state 5)", product_state == "state 5", product_state)
    report.check("browser sent to the success page", navigated == [success], "navigated %s" % navigated)
    installed = installed_files(app_data)
    listed = uninstall_list(wine)
    report.line("   installed %s: %s" % (INSTALL_FOLDER, ", ".join(installed) or "(nothing)"))
    report.line("   listed    %s: %s" % (LIST_KEY, ", ".join(listed) or "(nothing)"))
    report.check("client files installed", bool(installed))
    report.check("client listed for the uninstaller", any(entry.startswith("KESI ") for entry in listed),
                 "%s" % listed)

    # 3. The page calls the control; the broker runs the logon interrogation.
    report.heading("3. Page call  cscript (%d-bit) vista.js: new ActiveXObject(\"%s\").DoVistaInterrogation(token, "
                   "urlConfig, responseUrl)" % (wine.bits, PROGID))
    configuration = browser.cookie("urlConfig")
    post_url = browser.cookie("responseUrl")
    page_start = time.time()
    page_run = wine.script([wine.windows_path(PAGE_SCRIPT), token, configuration, post_url], timeout=300)
    page_end = time.time()
    printed = page_run.stdout.replace("\r", "").splitlines()
    clock_line = next((l.split()[1:] for l in printed if l.startswith("clock ")), [])
    clock = [int(v) / 1000.0 for v in clock_line]
    result_line = next((l for l in printed if l.startswith(("result ", "error "))), "(nothing printed)")
    report.line("   %s (script exit code %d)" % (result_line, page_run.returncode))
    report.check("page call result 0", page_run.returncode == 0 and result_line == "result 0", result_line)

    # The journal: the bootstrapper's interrogation, then the broker's.
    time.sleep(0.5)  # the last entry is written just after its answer went out
    entries = simulator.journal()
    session = "SIMSESSION-0001"
    fetched = [(e["path"], e["status"]) for e in entries if e.get("procedure") is None and e["started"] < bootstrap_start]
    report.check("page and files served to the browser", fetched == [
        (PAGE_PATH, 200), ("/postauth/kesiMsiBootstraper.exe", 200), ("/postauth/kesi.msi", 200)], "%s" % fetched)
    boot_calls = logon_calls(entries, bootstrap_start, page_start)
    page_calls = logon_calls(entries, page_start)
    check_exchange(report, "bootstrapper's interrogation", boot_calls, token, session)
    results, facts = check_exchange(report, "broker's interrogation", page_calls, token, session)

    # Stage times.
    report.heading("Stage times (wall clock; the journal's times are the appliance's, the others the demo's and "
                   "the page script's)")
    rows = []
    first_boot = boot_calls[0] if boot_calls else None
    rows.append(("install", span(bootstrap_start, first_boot and first_boot["started"]),
                 "bootstrapper started -> its first logon call came (browser found, package checked, msiexec "
                 "installed and registered KESI.dll, interrogator created)"))
    rows.append(("first interrogation", span(first_boot and first_boot["started"], bootstrap_end),
                 "its first logon call -> the bootstrapper ended (in process: resume, list, evaluate, post, "
                 "browser sent on)"))
    created = clock[1] if len(clock) > 1 else None
    returned = clock[2] if len(clock) > 2 else None
    rows.append(("page: script host", span(page_start, clock[0] if clock else None),
                 "cscript started -> the page script ran (the script's clock)"))
    rows.append(("page: control", span(clock[0] if clock else None, created),
                 "script ran -> \"%s\" created (KESI.dll loaded)" % PROGID))
    resume = first_call(page_calls, 8)
    rows.append(("broker start", span(created, resume and resume["started"]),
                 "control created -> the broker's first logon call came (kesivista.exe started, command over "
                 "its pipe, TLS handshake)"))
    for label, procedure, what in (("connect", 8, "procedure 8, the session resumed with the page's token"),
                                   ("list", 10, "procedure 10, the interrogation list"),
                                   ("agent list", 17, "procedure 17, the agents to provision")):
        call = first_call(page_calls, procedure)
        rows.append((label, span(call and call["started"], call and call["finished"]), what + ": request -> answer"))
    post = first_call(page_calls, 11)
    before_post = [e for e in page_calls if post and e["finished"] and e["finished"] <= post["started"]]
    rows.append(("evaluate", span(before_post[-1]["finished"] if before_post else None, post and post["started"]),
                 "last answer before the results -> results posted (every literal evaluated in the broker)"))
    rows.append(("post", span(post and post["started"], post and post["finished"]),
                 "procedure 11, the results: request -> zone answered"))
    last = page_calls[-1] if page_calls else None
    rows.append(("result to the page", span(last and last["finished"], returned),
                 "the broker's last answer (procedure %s) -> DoVistaInterrogation returned to the script"
                 % (last["procedure"] if last else "-")))
    rows.append(("page call, whole", span(clock[0] if clock else None, returned),
                 "script ran -> call returned (the script's clock)"))
    for label, value, what in rows:
        report.line("  %-20s %s  %s" % (label, milliseconds(value), what))

    # What the appliance received.
    report.heading("Results as the appliance received them (procedure 11 from the broker: result name, value, items)")
    for result in results:
        name, value = result[0], result[1]
        items = result[2] if len(result) > 2 else []
        report.line("  %-22s %-5s %s" % (name, "TRUE" if value else "FALSE",
                                         ("items " + json.dumps(items)) if items else ""))
    if facts:
        report.line("  facts: " + ", ".join("%s=%s" % (f[0], json.dumps(f[1])) for f in facts if len(f) > 1))
    report.check("results posted", bool(results))

    # The client's logs, deciphered.
    log_folder = os.path.join(app_data, "Velmora", "LogFiles")
    interrogator_log = deciphered(wine, os.path.join(log_folder, "KESInterrogator.log"))
    init_log = deciphered(wine, os.path.join(log_folder, "kesiInit.log"))
    zones = [m.group(1) for m in (re.search(r"zone \[([^\]]*)\]", l) for l in interrogator_log) if m]
    report.heading("Zone: %s (the broker's log of the appliance's answer)" % (zones[-1] if zones else "(not logged)"))
    report.check("zone logged", bool(zones))
    report.heading("Client logs, deciphered by kesilog (excerpt; %s)" % os.path.relpath(log_folder, wine.prefix))
    for name, lines in (("kesiInit.log", init_log), ("KESInterrogator.log", interrogator_log)):
        report.line("  %s:" % name)
        for line in log_excerpt(lines, token, 14):
            report.line("    " + line[:150])

    # The session ends with the broker still serving: the uninstall stops it (the package runs its "Kill").
    brokers = wine.processes("kesivista.exe")
    report.heading("Session end  broker processes running: %d (the uninstall stops them)" % len(brokers))

    # 4. Uninstall, as a user does it.
    report.heading("4. Uninstall  kesiuninstall.exe, its question \"%s\" answered Yes by kesianswer" % QUESTION_TITLE)
    answer = answer_question(wine)
    uninstall = wine.run([files["kesiuninstall"]], timeout=300)
    try:
        answered = answer.communicate(timeout=150)[0]
    except subprocess.TimeoutExpired:
        answer.kill()
        answered = answer.communicate()[0]
    question = next((l for l in answered.replace("\r", "").splitlines() if l.startswith(QUESTION_TITLE)), "")
    report.line("   question  %s" % (question or "(none came)"))
    report.check("question answered", answer.returncode == 0 and bool(question), "kesianswer exit %s" % answer.returncode)
    report.check("kesiuninstall ended", uninstall.returncode == 0, "exit code %d" % uninstall.returncode)
    report.check("no broker left running", not wine.processes("kesivista.exe"))
    installed = installed_files(app_data)
    listed = uninstall_list(wine)
    report.line("   installed %s: %s" % (INSTALL_FOLDER, ", ".join(installed) or "gone"))
    report.line("   listed    %s: %s" % (LIST_KEY, ", ".join(listed) or "gone"))
    report.line("   compared with the prefix before the install:")
    wine.stop_server()
    compare(report, wine, app_data, before_registry, before_files, args.check)

    report.line()
    if report.failures:
        report.line("Demo FAILED: %s" % "; ".join(report.failures))
        return 1
    report.line("Demo passed: every stage succeeded.")
    return 0


INSTALL_FOLDER = "%APPDATA%\\Velmora\\kesi"
LIST_KEY = "HKLM\\Software\\Velmora\\KESI\\Uninstall"


def installed_files(app_data):
    folder = os.path.join(app_data, "Velmora", "kesi")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def uninstall_list(wine):
    """The client's uninstall list in the build's registry view, as "NAME CODE" lines."""
    view = "/reg:32" if wine.bits == 32 else "/reg:64"
    done = wine.run(["reg", "query", LIST_KEY, view], timeout=120)
    entries = []
    for line in done.stdout.replace("\r", "").splitlines():
        words = line.split()
        if len(words) == 3 and words[1] == "REG_SZ":
            entries.append("%s %s" % (words[0], words[2]))
    return entries


def compare(report, wine, app_data, before_registry, before_files, full):
    after_registry = registry_snapshot(wine.prefix)
    changes = registry_changes(before_registry, after_registry)
    for file, area, what in REGISTRY_AREAS:
        lines = changes[(file, area)]
        shown = lines if full else lines[:12]
        report.line("     %-46s %s" % (what, "as before the install" if not lines else "%d differences" % len(lines)))
        for line in shown:
            report.line("      " + line)
        if len(shown) < len(lines):
            report.line("      ... %d more" % (len(lines) - len(shown)))
        report.check("%s as before" % what, not lines, "%d differences" % len(lines))
    # The client's log folder stays: the logs are for support staff (and the "Velmora" folder holds it).
    after_files = folder_listing(app_data)
    kept = {p for p in after_files - before_files if p.startswith("Velmora/LogFiles/") or p == "Velmora/"}
    added = sorted(after_files - before_files - kept)
    removed = sorted(before_files - after_files)
    report.line("     %-46s %s" % ("application data (%APPDATA%)", "as before the install" if not added and not removed
                                 else "%d added, %d removed" % (len(added), len(removed))))
    for path in ["+ " + p for p in added] + ["- " + p for p in removed]:
        report.line("      " + path)
    if kept:
        report.line("      kept: Velmora\\LogFiles (the client's logs, %d files, stay for support)" %
                    len([p for p in kept if not p.endswith("/")]))
    report.check("application data as before (log folder aside)", not added and not removed,
                 "%d added, %d removed" % (len(added), len(removed)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preset", choices=("win64", "win32"), default="win64")
    parser.add_argument("--build", help="the preset's build folder (build/<preset>)")
    parser.add_argument("--prefix", help="the demo's Wine prefix, removed and made again (<build>/demo-prefix)")
    parser.add_argument("--check", action="store_true", help="print every check and the differences in full")
    args = parser.parse_args(argv)
    try:
        return run(args)
    except DemoError as error:
        print("demo: %s" % error, file=sys.stderr)
        return 1
    except subprocess.TimeoutExpired as error:
        print("demo: timed out: %s" % " ".join(map(str, error.cmd)), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
