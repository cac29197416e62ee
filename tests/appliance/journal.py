"""The journal's one-line text form (journal.txt, --journal FILE.txt; see README.md)."""

import json


def json_text(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=True)


def journal_line(entry):
    """The one-line text form of a journal entry (see README.md)."""
    status = entry.get("status")
    parts = ["#%d" % entry["index"], entry["method"], entry["path"], "-" if status is None else str(status)]
    if "procedure" in entry:
        parts.append("proc=%d" % entry["procedure"])
        parts.append("call=%d" % entry["call"])
        parts.append("args=" + json_text(entry["arguments"]))
    headers = {name.lower(): value for name, value in entry["headers"].items()}
    for label, name in (("ctype", "content-type"), ("cookie", "cookie"), ("mac", "x-velmora-mac"),
                        ("ua", "user-agent")):
        if name in headers:
            parts.append("%s=%s" % (label, json_text(headers[name])))
    if "upload" in entry:
        parts.append("upload=%d" % entry["upload"])
        parts.append("bytes=%d" % entry["upload_bytes"])
        parts.append("form=%s" % entry["upload_form"])
    if entry.get("action"):
        parts.append("action=%s" % entry["action"])
    if entry.get("generated"):
        parts.append("generated=%s" % entry["generated"])
    if entry.get("problems"):
        parts.append("problems=" + json_text(entry["problems"]))
    return " ".join(parts)
