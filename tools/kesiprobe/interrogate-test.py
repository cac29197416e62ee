#!/usr/bin/env python3
"""kesiprobe interrogate, checked against what really happened.

  interrogate-test.py appliance WINE_RUNNER KESIPROBE_EXE   (needs KESI_SIM_CONTROL, the simulator fixture)
  interrogate-test.py list WINE_RUNNER KESIPROBE_EXE

appliance: against a simulator instance serving the demo scenario, the probe verifies the certificate by
default (and so refuses the simulator's self-signed one) and says so; with --insecure the report has one
row per list line
with its id, kind and result, shows the results exactly as the simulator's journal received them (order,
names, Booleans), agrees with itself (a result is TRUE when one of its literals is), and names the zone and
the zone commands (the empty one dropped); a fault on the list call ends with exit code 1. The simulator
notes no problem in any request of the probe.
list: local list files (with the section header in another case, CR LF, a byte-order mark, lines outside
the section; and UTF-16 without a header) give the verdicts and statuses of known Wine state: shared
results, a skipped check, an unlisted kind, a line without a result, a quoted result name, and a network
and a device path refused with their statuses explained.
"""
import contextlib
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO = os.path.join(HERE, "..", "..", "tests", "appliance", "scenarios", "default.json")
LITERAL_LINE = re.compile(r"^([^=]*)=([^,]*)(?:,(.*?))?(?:,|$)")
KNOWN_KINDS = {"FILE", "DIRECTORY", "REGISTRY", "OSVERSION", "PROCESS", "USERDOMAIN", "MACHINEDOMAIN", "PFW",
               "AVIRUS", "CERTIFICATE", "EQUIPMENTID", "OPSWATAV", "OPSWATPFW", "OPSWATAS"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run_probe(runner, probe, *args):
    # Output goes to files, not pipes: a Windows process that the probe starts (the product-check engine's
    # local server, say) inherits Wine's Unix descriptors and would hold a pipe open after the probe ends.
    with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        done = subprocess.run([runner, probe, "interrogate", *args], stdout=out_file, stderr=err_file,
                              timeout=180)
        out_file.seek(0)
        err_file.seek(0)
        out = out_file.read().decode("utf-8", "replace").replace("\r", "")
        err = err_file.read().decode("utf-8", "replace").replace("\r", "")
    return done.returncode, out, err


def section(report, title_start):
    """The table rows under the line that starts with title_start, up to the first empty line: each row
    split into its cells (cells are separated by two or more blanks)."""
    lines = report.split("\n")
    for i, line in enumerate(lines):
        if line.startswith(title_start):
            break
    else:
        return None
    rows = []
    for line in lines[i + 1:]:
        if not line.strip():
            break
        if line.startswith("  "):
            rows.append(re.split(r" {2,}", line.strip()))
    return rows[1:] if rows else rows  # without the column heads


def literal_rows(report):
    rows = section(report, "literals (")
    check(rows is not None, "no literal table in the report")
    return rows or []


def expected_literals(lines):
    """(id, kind, result) per literal line, as the report should name them."""
    expected = []
    for line in lines:
        m = LITERAL_LINE.match(line)
        kind = m.group(2)
        expected.append((m.group(1), kind.upper() if kind.upper() in KNOWN_KINDS else kind, m.group(3) or "-"))
    return expected


def posted_rows(report, title):
    rows = section(report, title)
    check(rows is not None, "no result table in the report")
    results = []
    for row in rows or []:
        if row[0] and len(row) >= 2 and row[1] in ("TRUE", "FALSE"):
            results.append((row[0], row[1] == "TRUE"))
    return results


def reply_value(report, name):
    rows = section(report, "the appliance's answer") or []
    for row in rows:
        if row[0] == name:
            return row[1] if len(row) > 1 else ""
    return None


# ---- against the simulator -----------------------------------------------------------------------------

def control(method, path, body=None):
    address = os.environ["KESI_SIM_CONTROL"]
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request("http://%s%s" % (address, path), data=data, method=method)
    with urllib.request.urlopen(request, timeout=30) as reply:
        return json.loads(reply.read().decode())


@contextlib.contextmanager
def appliance(scenario, expected_problems=()):
    """A simulator instance for the block. When the block ends, every problem the simulator noted in a
    request (wrong version or session, bytes after the call, ...) is a failure unless it contains one of
    expected_problems, and each of those must have been noted."""
    instance = control("POST", "/instances", scenario)
    try:
        yield instance
        journal = control("GET", "/instances/%d/journal" % instance["id"])
        noted = [(e, p) for e in journal for p in e.get("problems") or []]
        for entry, problem in noted:
            check(any(x in problem for x in expected_problems),
                  "the appliance noted a problem in request #%d (%s %s, procedure %s): %s"
                  % (entry["index"], entry["method"], entry["path"], entry.get("procedure"), problem))
        for expected in expected_problems:
            check(any(expected in p for _, p in noted), "the appliance noted no problem containing %r" % expected)
    finally:
        control("DELETE", "/instances/%d" % instance["id"])


def test_appliance(runner, probe):
    with open(SCENARIO, encoding="utf-8") as f:
        scenario = json.load(f)
    lines = [l for l in scenario["interrogation_list"] if not l.startswith("[")]
    with appliance({"base": "default", "zone": "Quarantine-7", "zone_commands": ["", "NOTIFY-USER"]}) as instance:
        rc, out, err = run_probe(runner, probe, "--appliance", "127.0.0.1:%d" % instance["port"])
        check(rc == 1 and out.startswith("certificates: verified") and "logon failed with 12055" in err,
              "interrogate without --insecure: exit %d, %r, %r" % (rc, out, err))
        rc, out, err = run_probe(runner, probe, "--appliance", "127.0.0.1:%d" % instance["port"], "--insecure")
        if not check(rc == 0, "interrogate exited %d: %s" % (rc, err)):
            return
        check(out.startswith("certificates: not verified (--insecure"), "the mode line: %r" % out[:120])
        rows = literal_rows(out)
        check([tuple(r[:3]) for r in rows] == expected_literals(lines),
              "literal rows %s do not name the list %s" % ([r[:3] for r in rows], expected_literals(lines)))
        for row in rows:
            # The product-check engine stores TRUE as -1, shown "TRUE (-1)".
            check(len(row) >= 5 and re.match(r"^(TRUE|FALSE|-)", row[3]), "literal row without a verdict: %s" % row)
        unlisted = [r for r in rows if r[0] == "L17"]
        check(unlisted and unlisted[0][3:5] == ["-", "unlisted"], "the unlisted kind: %s" % unlisted)

        journal = control("GET", "/instances/%d/journal" % instance["id"])
        posts = [e for e in journal if e.get("procedure") == 11]
        if check(len(posts) == 1, "%d posts of procedure 11" % len(posts)):
            sent = [(name, value) for name, value, _items in posts[0]["arguments"][2]]
            shown = posted_rows(out, "results as posted")
            check(shown == sent, "the report shows %s, the appliance received %s" % (shown, sent))
            for name, value in sent:
                literal_true = any(r[2] == name and r[3].startswith("TRUE") for r in rows)
                check(value == literal_true, "result %s posted %s, its literals say %s" % (name, value, literal_true))

        check(reply_value(out, "zone") == "Quarantine-7", "zone: %r" % reply_value(out, "zone"))
        check(reply_value(out, "zone commands") == "NOTIFY-USER", "zone commands: %r" % reply_value(out, "zone commands"))

    with appliance({"base": "default",
                    "faults": [{"procedure": 10, "fault": {"code": 7, "code2": 9, "text": "no"}}]}) as instance:
        rc, out, err = run_probe(runner, probe, "--appliance", "127.0.0.1:%d" % instance["port"], "--insecure")
        check(rc == 1 and "fetching the list (procedure 10) failed" in err,
              "a fault on the list call: exit %d, %r" % (rc, err))


# ---- local lists ---------------------------------------------------------------------------------------

SECTIONED_LIST = "\r\n".join([
    "; lines before the section are not literals",
    "X0=DIRECTORY,BeforeSection,%windir%",
    "[interrogationliterals]",
    "A1=DIRECTORY,WindowsFolder,%windir%",
    "A2=directory,WindowsFolder,C:\\no\\such\\folder",
    "A3=DIRECTORY,Missing,C:\\no\\such\\folder",
    "",
    "A4=FILE,Either,C:\\no\\such\\file.txt",
    "A5=DIRECTORY,Either,%windir%\\system32",
    "A6=NOSUCHKIND,Unlisted,x",
    "A7=DIRECTORY",
    'A8=DIRECTORY,"Quoted, name",%windir%',
    "[Other]",
    "Z1=DIRECTORY,AfterSection,%windir%",
    "",
])

# (id, kind, result, verdict, status), in list order. The engine evaluates from the last line up: A2
# runs before A1 and A5 before A4, which is skipped because its result is TRUE by then.
SECTIONED_EXPECTED = [
    ("A1", "DIRECTORY", "WindowsFolder", "TRUE", "0"),
    ("A2", "DIRECTORY", "WindowsFolder", "FALSE", "0"),
    ("A3", "DIRECTORY", "Missing", "FALSE", "0"),
    ("A4", "FILE", "Either", "-", "skipped"),
    ("A5", "DIRECTORY", "Either", "TRUE", "0"),
    ("A6", "NOSUCHKIND", "Unlisted", "-", "unlisted"),
    ("A7", "DIRECTORY", "-", "-", "no result"),
    ("A8", "DIRECTORY", "Quoted, name", "TRUE", "0"),
]
# In the engine's order: newest result first.
SECTIONED_RESULTS = [("Quoted, name", True), ("Unlisted", False), ("Either", True), ("Missing", False),
                     ("WindowsFolder", True)]


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def test_list(runner, probe):
    with tempfile.TemporaryDirectory() as folder:
        sectioned = os.path.join(folder, "sectioned.txt")
        with open(sectioned, "wb") as f:
            f.write(b"\xef\xbb\xbf" + SECTIONED_LIST.encode("utf-8"))
        bare = os.path.join(folder, "bare.txt")
        with open(bare, "wb") as f:
            f.write(b"\xff\xfe" + ("B1=DIRECTORY,Windows,%windir%\nB2=OSVERSION,Ancient,<,3.0\n"
                                    "B3=FILE,Share,\\\\127.0.0.1\\share\\x.txt\n"
                                    "B4=DIRECTORY,Device,\\\\?\\C:\\windows\n").encode("utf-16-le"))

        for name, path, expected, results in [
            ("header, CR LF, UTF-8 mark", sectioned, SECTIONED_EXPECTED, SECTIONED_RESULTS),
            ("no header, UTF-16", bare, [("B1", "DIRECTORY", "Windows", "TRUE", "0"),
                                         ("B2", "OSVERSION", "Ancient", "FALSE", "0"),
                                         ("B3", "FILE", "Share", "FALSE", "53"),
                                         ("B4", "DIRECTORY", "Device", "FALSE", "161")],
             [("Device", False), ("Share", False), ("Ancient", False), ("Windows", True)]),
        ]:
            rc, out, err = run_probe(runner, probe, "--list", windows_path(path))
            if not check(rc == 0, "%s: exit %d: %s" % (name, rc, err)):
                continue
            rows = [tuple(r[:5]) for r in literal_rows(out)]
            check(rows == expected, "%s: literal rows\n  %s\nexpected\n  %s" % (name, rows, expected))
            shown = posted_rows(out, "results (")
            check(shown == results, "%s: results %s, expected %s" % (name, shown, results))
            check("zone" not in out, "%s: a local list has no zone" % name)
            if path == bare:
                for meaning in ("refused: a network path", "refused: a device path"):
                    check(meaning in out, "%s: the legend does not explain %r" % (name, meaning))

        rc, _out, err = run_probe(runner, probe, "--list", windows_path(os.path.join(folder, "missing.txt")))
        check(rc == 1 and "failed with 2 " in err, "a missing list file: exit %d, %r" % (rc, err))
    for args in (["--list", "x", "--appliance", "127.0.0.1:1"], [], ["--list", "x", "--credential", "c"],
                 ["--list", "x", "--insecure"]):
        rc, _out, _err = run_probe(runner, probe, *args)
        check(rc == 2, "%s: exit %d, expected a usage error" % (args, rc))


def main():
    mode, runner, probe = sys.argv[1:4]
    {"appliance": test_appliance, "list": test_list}[mode](runner, probe)
    for failure in failures:
        print("FAIL: " + failure, file=sys.stderr)
    if not failures:
        print("kesiprobe interrogate (%s): ok" % mode)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
