#!/usr/bin/env python3
"""kesiprobe install and uninstall of the demo component, against a simulator instance that serves it.

  install-test.py WINE_RUNNER KESIPROBE_EXE COMPONENT_DIR   (needs KESI_SIM_CONTROL, the simulator fixture)

COMPONENT_DIR holds kesidemo.cab and, in kesidemo/, the files it carries. The probe installs the component
into a folder of its own (the run shows the engine's steps from the installer log, the catalog lists the
component with its description file and RemoveDIR=Yes, the folder holds the CAB's files byte for byte, and
the simulator's journal shows one GET of the CAB); the same version again is current (no second GET); a
newer version without --insecure refuses the simulator's self-signed certificate and changes nothing;
the uninstall empties the catalog and removes the folder. The simulator notes no problem in any request.
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# The simulator helpers (control requests, an instance per block with its problems checked) and the
# failure list are the interrogate test's.
_spec = importlib.util.spec_from_file_location("interrogate_test", os.path.join(HERE, "interrogate-test.py"))
common = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(common)
check = common.check

NAME = "kesidemo"
FOLDER_TEXT = "localdata:KESIProbeInstallTest"


def run(runner, *args):
    # Output goes to files, not pipes (see interrogate-test.py).
    with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        done = subprocess.run([runner, *args], stdout=out_file, stderr=err_file, timeout=180)
        out_file.seek(0)
        err_file.seek(0)
        out = out_file.read().decode("utf-8", "replace").replace("\r", "")
        err = err_file.read().decode("utf-8", "replace").replace("\r", "")
    return done.returncode, out, err


def unix_path(runner, windows_path):
    rc, out, _err = run(runner, "winepath", "-u", windows_path)
    return out.strip() if rc == 0 else None


def catalog_rows(out):
    """The entries the last catalog report lists: [(name, inf, removedir)]."""
    lines = out.split("\n")
    starts = [i for i, line in enumerate(lines) if line.startswith("catalog ")]
    if not check(starts, "no catalog report in:\n" + out):
        return None
    rows = []
    for line in lines[starts[-1] + 1:]:
        if not line.startswith("  "):
            break
        name, _, rest = line.strip().partition("  INF=")
        inf, _, remove = rest.partition("  RemoveDIR=")
        rows.append((name, inf, remove))
    return rows


def cab_gets(instance):
    journal = common.control("GET", "/instances/%d/journal" % instance["id"])
    return [e for e in journal if e["method"] == "GET" and e["path"] == "/postauth/%s.cab" % NAME]


def test(runner, probe, component):
    rc, appdata, _err = run(runner, "cmd", "/c", "echo %APPDATA%")
    folder = appdata.strip() + "\\Velmora\\" + FOLDER_TEXT.split(":", 1)[1] + "\\"
    inf = folder + NAME + ".inf"
    local_folder = unix_path(runner, folder)
    if not check(rc == 0 and local_folder, "the install folder's path: %r" % appdata):
        return
    # A clean start: no catalog beside the probe, no folder left by an earlier run.
    catalog = os.path.join(os.path.dirname(probe), "kesi.cat")
    if os.path.exists(catalog):
        os.remove(catalog)
    shutil.rmtree(local_folder, ignore_errors=True)

    with common.appliance({"files": component}) as instance:
        server = "127.0.0.1:%d" % instance["port"]
        url = "https://%s/postauth/%s.cab" % (server, NAME)
        install = [probe, "install", "--appliance", server, "--cab", "/postauth/%s.cab" % NAME,
                   "--folder", FOLDER_TEXT]

        rc, out, err = run(runner, *install, "--version", "1,0,0,1", "--insecure")
        if not check(rc == 0, "install exited %d: %s%s" % (rc, out, err)):
            return
        check(out.startswith("certificates: not verified (--insecure"), "the mode line: %r" % out[:120])
        # The engine's steps, in order, as the installer log has them.
        steps = ["Beginning CInstall::Install(%s) function" % url,
                 'Installing version 1,0,0,1 of "%s"' % NAME,
                 'The CAB file "', " is trusted.",
                 'Installed file: "', '%s.ver"' % NAME,
                 'Component "%s" was successfully installed.' % url]
        at = 0
        for step in steps:
            found = out.find(step, at)
            if not check(found >= 0, "install: the step %r is missing (or out of order) in:\n%s" % (step, out)):
                break
            at = found + len(step)
        check(catalog_rows(out) == [(NAME, inf, "Yes")], "catalog after the install: %s" % catalog_rows(out))
        source = os.path.join(component, NAME)
        for name in sorted(os.listdir(source)):
            target = os.path.join(local_folder, name)
            if check(os.path.isfile(target), "installed file %s is missing" % name):
                with open(os.path.join(source, name), "rb") as a, open(target, "rb") as b:
                    check(a.read() == b.read(), "installed file %s differs from the CAB's" % name)
        check(len(cab_gets(instance)) == 1, "GETs of the CAB after the install: %s" % cab_gets(instance))

        rc, out, err = run(runner, *install, "--version", "1,0,0,1", "--insecure")
        check(rc == 0 and "component is current." in out, "the same version again: exit %d, %s%s" % (rc, out, err))
        check(len(cab_gets(instance)) == 1, "the current component was downloaded again")

        rc, out, err = run(runner, *install, "--version", "1,0,0,2")
        check(rc == 1 and out.startswith("certificates: verified") and "the install failed with 12045" in err,
              "a newer version, certificate verified: exit %d, %s%s" % (rc, out, err))
        check(catalog_rows(out) == [(NAME, inf, "Yes")], "catalog after the refused install: %s" % catalog_rows(out))
        with open(os.path.join(local_folder, NAME + ".ver"), "rb") as f:
            check(f.read().startswith(b"1,0,0,1"), "the refused install changed the version file")

        rc, out, err = run(runner, probe, "uninstall", "--inf", inf)
        check(rc == 0, "uninstall exited %d: %s%s" % (rc, out, err))
        check("removing its folder (the catalog's RemoveDIR is yes)" in out, "uninstall's folder decision: %s" % out)
        check('Beginning CInstall::Uninstall(%s) function' % inf in out and "was successfully uninstalled." in out,
              "uninstall's steps:\n%s" % out)
        check(catalog_rows(out) == [], "catalog after the uninstall: %s" % catalog_rows(out))
        check("install folder %s: gone" % folder in out, "uninstall's folder report: %s" % out)
        check(not os.path.exists(local_folder), "the install folder is still there: %s" %
              (os.listdir(local_folder) if os.path.isdir(local_folder) else local_folder))

    for args in (["install", "--appliance", "127.0.0.1:1", "--version", "1,0,0,1", "--folder", "x"],
                 ["install", "--appliance", "127.0.0.1:1", "--cab", "/x.cab", "--version", "1", "--folder",
                  "x", "--extra"],
                 ["uninstall"], ["uninstall", "--inf", "x", "--insecure"]):
        rc, _out, _err = run(runner, probe, *args)
        check(rc == 2, "%s: exit %d, expected a usage error" % (args, rc))


def main():
    runner, probe, component = sys.argv[1:4]
    test(runner, probe, component)
    for failure in common.failures:
        print("FAIL: " + failure, file=sys.stderr)
    if not common.failures:
        print("kesiprobe install/uninstall: ok")
    return 1 if common.failures else 0


if __name__ == "__main__":
    sys.exit(main())
