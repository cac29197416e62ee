#!/usr/bin/env python3
"""kesiprobe provision against a simulator instance (KESI_SIM_CONTROL, the simulator fixture).

  provision-test.py WINE_RUNNER KESIPROBE_EXE

The instance lists a configuration file, a phone book in a sub-folder, the product-check package that is
never fetched, and an agent whose URL climbs out of the deploy folder. The first run installs the two
files, reports the package current and refuses the climbing agent (exit code 1, nothing fetched for it);
the second run, without the refused agent, reports every agent current and fetches nothing. The files land
in the Wine prefix's "Velmora" folder and are removed afterwards. The simulator notes no problem.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.request

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def control(method, path, body=None):
    address = os.environ["KESI_SIM_CONTROL"]
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request("http://%s%s" % (address, path), data=data, method=method)
    with urllib.request.urlopen(request, timeout=10) as reply:
        return reply.read().decode()


def run_probe(runner, probe, *args):
    with tempfile.TemporaryFile() as out_file:
        done = subprocess.run([runner, probe, "provision", *args], stdout=out_file, stderr=subprocess.STDOUT,
                              timeout=180)
        out_file.seek(0)
        return done.returncode, out_file.read().decode("utf-8", "replace").replace("\r", "")


def agent(name, path, version="1.0"):
    return {"name": name, "fileType": path.rsplit(".", 1)[-1], "version": version,
            "url": "${BASE}/postauth/" + path}


def velmora_folders(runner):
    # The runner's prefix: KESI_WINEPREFIX when set, else the default it names ("${KESI_WINEPREFIX:-PATH}").
    prefix = os.environ.get("KESI_WINEPREFIX")
    if not prefix:
        with open(runner) as handle:
            match = re.search(r'WINEPREFIX="(?:\$\{KESI_WINEPREFIX:-)?([^"}]+)\}?"', handle.read())
        prefix = match.group(1) if match else os.environ.get("WINEPREFIX")
    return glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Roaming", "Velmora"))


def clean(runner):
    for velmora in velmora_folders(runner):
        shutil.rmtree(os.path.join(velmora, "deploy", "provprobe"), ignore_errors=True)
        for name in ("provprobe.cfg", "provprobe.pbk"):
            if os.path.exists(os.path.join(velmora, name)):
                os.remove(os.path.join(velmora, name))


def main():
    runner, probe = sys.argv[1:3]
    files = {"provprobe/provprobe.cfg": "[cfg]\n", "provprobe/sub/provprobe.pbk": "[pbk]\n",
             "provprobe/opswat.msi": "x", "evil.cfg": "x"}
    listed = [agent("Settings", "provprobe/provprobe.cfg"), agent("Phone book", "provprobe/sub/provprobe.pbk"),
              agent("Engine", "provprobe/opswat.msi")]
    climbing = agent("Climber", "provprobe/../evil.cfg")
    clean(runner)
    instance = json.loads(control("POST", "/instances", {"agents": listed + [climbing], "inline_files": files}))
    again = json.loads(control("POST", "/instances", {"agents": listed, "inline_files": files}))
    try:
        rc, out = run_probe(runner, probe, "--appliance", "127.0.0.1:%d" % instance["port"], "--insecure")
        check(rc == 1, "first run exited %d (a refused agent fails the run):\n%s" % (rc, out))
        blocks = out.split("\n\n")
        def block(name):
            found = [b for b in blocks if re.search(r"^agent \d+: %s$" % re.escape(name), b, re.M)]
            return found[0] if found else ""
        settings = block("Settings")
        check("found:   version 1.0, file type cfg, url https://127.0.0.1:%d/postauth/provprobe/provprobe.cfg"
              % instance["port"] in settings, "no 'found' line for the configuration file:\n%s" % out)
        check("done:    fetched and installed" in settings and "outcome: ok" in settings,
              "the configuration file was not installed:\n%s" % out)
        check("done:    fetched and installed" in block("Phone book"), "the phone book was not installed:\n%s" % out)
        check("done:    current, nothing to do" in block("Engine"), "opswat.msi was not reported current:\n%s" % out)
        check("done:    refused" in block("Climber") and "outcome: FAILED" in block("Climber"),
              "the climbing agent was not refused:\n%s" % out)
        check("4 agents: 1 current, 2 installed, 1 failed" in out, "no summary:\n%s" % out)
        for velmora in velmora_folders(runner):
            check(os.path.exists(os.path.join(velmora, "provprobe.cfg")), "no provprobe.cfg in %s" % velmora)
            check(os.path.exists(os.path.join(velmora, "deploy", "provprobe", "sub", "provprobe.pbk")),
                  "the phone book is not in its deploy sub-folder")
            check(not os.path.exists(os.path.join(velmora, "evil.cfg")), "the climbing agent wrote evil.cfg")

        # The second appliance lists the same agents without the climbing one: all current.
        rc, out = run_probe(runner, probe, "--appliance", "127.0.0.1:%d" % again["port"], "--insecure")
        check(rc == 0, "second run exited %d:\n%s" % (rc, out))
        check("3 agents: 3 current, 0 installed, 0 failed" in out, "not every agent current:\n%s" % out)
        check(out.count("done:    current, nothing to do") == 3, "not every agent current:\n%s" % out)

        for item, expected in ((instance, {"/postauth/provprobe/provprobe.cfg", "/postauth/provprobe/sub/provprobe.pbk"}),
                               (again, set())):
            journal = json.loads(control("GET", "/instances/%d/journal" % item["id"]))
            fetched = {entry["path"] for entry in journal if entry["method"] == "GET"}
            check(fetched == expected, "fetched %s, expected %s" % (sorted(fetched), sorted(expected)))
            for entry in journal:
                check(not entry.get("problems"), "the appliance noted problems: %s" % entry.get("problems"))
    finally:
        control("DELETE", "/instances/%d" % instance["id"])
        control("DELETE", "/instances/%d" % again["id"])
        clean(runner)

    rc, _ = run_probe(runner, probe)
    check(rc == 2, "provision without --appliance exited %d" % rc)
    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print("kesiprobe provision: ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
