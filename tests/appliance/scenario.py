"""Scenarios: a JSON object per appliance instance, read, merged over its base and the defaults, checked.

The keys and their defaults are listed in README.md."""

import copy
import json
import os

import lprpc
from certificates import CERTIFICATE_KINDS

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO_DIR = os.path.join(HERE, "scenarios")


class ScenarioError(ValueError):
    pass


# What a scenario value that does not fit its place raises while a reply is built.
SCENARIO_MISTAKES = (ScenarioError, lprpc.LprpcError, TypeError, ValueError, KeyError, AttributeError)

DEFAULTS = {
    "name": "",
    "tls": True,
    "certificate": "self-signed",
    "version": 15,
    "session": "SIMSESSION-0001",
    "strict_session": False,
    "interrogation_list": ["[InterrogationLiterals]"],
    "interval": 0,
    "continue": True,
    "zone": "Default",
    "zone_commands": [],
    "subsequent": [],
    "classifications": None,
    "agents": [],
    "deploy": [],
    "report_answer": True,
    "query_numbers": {},
    "files": None,
    "inline_files": {},
    "downloads": None,
    "post_location": "${BASE}/postauth/epc/result",
    "faults": [],
}

AGENT_FIELDS = [("name", ""), ("number1", 0), ("text1", ""), ("number2", 0), ("fileType", ""),
                ("version", ""), ("url", ""), ("number3", 0), ("targetUser", ""),
                ("installArguments", ""), ("extra", 0)]

SUBSEQUENT_FIELDS = {"classification", "text", "list", "interval", "zone", "zone_commands", "result"}

FAULT_MATCH_KEYS = {"procedure", "path", "path_prefix", "method", "call"}
FAULT_ACTION_KEYS = {"fault", "result", "reply", "body_hex", "http_status", "headers",
                     "content_type", "no_content_length", "empty_body", "delay", "hang", "close",
                     "large_reply", "expansion_reply", "truncate"}


def _resolve_base(name, base_dir):
    candidates = [name] if os.path.isabs(name) else [
        os.path.join(base_dir, name), os.path.join(base_dir, name + ".json"),
        os.path.join(SCENARIO_DIR, name), os.path.join(SCENARIO_DIR, name + ".json")]
    for path in candidates:
        if os.path.isfile(path):
            return path
    raise ScenarioError("base scenario %r not found" % name)


def load_scenario(source, base_dir=SCENARIO_DIR, _depth=0):
    """A scenario from a file path or a dict; "base" names a scenario file that the rest overrides.

    Relative "files" and "downloads" folders are resolved against the folder of the file that names them."""
    if _depth > 8:
        raise ScenarioError("base scenarios nest too deeply")
    if isinstance(source, str):
        path = os.path.abspath(source)
        try:
            with open(path, encoding="utf-8") as handle:
                data = json.load(handle)
        except (OSError, ValueError) as error:
            raise ScenarioError("cannot read scenario %s: %s" % (source, error))
        base_dir = os.path.dirname(path)
    else:
        data = copy.deepcopy(source)
    if not isinstance(data, dict):
        raise ScenarioError("a scenario is a JSON object")
    data.pop("comment", None)
    for key in ("files", "downloads"):
        if data.get(key) and not os.path.isabs(data[key]):
            data[key] = os.path.normpath(os.path.join(base_dir, data[key]))
    merged = dict(DEFAULTS)
    base = data.pop("base", None)
    if base:
        merged = load_scenario(_resolve_base(base, base_dir), base_dir, _depth + 1)
    unknown = sorted(set(data) - set(DEFAULTS))
    if unknown:
        raise ScenarioError("unknown scenario keys: %s" % ", ".join(unknown))
    merged.update(data)
    _validate(merged)
    return merged


def _validate(s):
    if not isinstance(s["version"], int) or isinstance(s["version"], bool):
        raise ScenarioError("version must be an integer")
    if s["certificate"] not in CERTIFICATE_KINDS:
        raise ScenarioError("certificate must be one of %s" % ", ".join(CERTIFICATE_KINDS))
    if s["downloads"] is not None and not (isinstance(s["downloads"], str) and os.path.isdir(s["downloads"])):
        raise ScenarioError("downloads: %r is not a folder" % (s["downloads"],))
    for i, fault in enumerate(s["faults"]):
        if not isinstance(fault, dict):
            raise ScenarioError("faults[%d] is not an object" % i)
        unknown = sorted(set(fault) - FAULT_MATCH_KEYS - FAULT_ACTION_KEYS - {"comment"})
        if unknown:
            raise ScenarioError("faults[%d]: unknown keys %s" % (i, ", ".join(unknown)))
        if not {"procedure", "path", "path_prefix"} & set(fault):
            raise ScenarioError("faults[%d] names no procedure, path or path_prefix" % i)
        for key in ("fault", "result", "reply"):
            if key not in fault or (key == "fault" and isinstance(fault[key], dict)):
                continue
            try:
                lprpc.from_json(fault[key])
            except lprpc.LprpcError as error:
                raise ScenarioError("faults[%d].%s: %s" % (i, key, error))
    for i, agent in enumerate(list(s["agents"]) + list(s["deploy"])):
        if not isinstance(agent, dict) or set(agent) - {name for name, _ in AGENT_FIELDS}:
            raise ScenarioError("agent %d: an object with the keys %s" % (i, ", ".join(n for n, _ in AGENT_FIELDS)))
    for i, reply in enumerate(s["subsequent"]):
        if not isinstance(reply, dict) or set(reply) - SUBSEQUENT_FIELDS:
            raise ScenarioError("subsequent[%d]: an object with the keys %s" % (i, ", ".join(sorted(SUBSEQUENT_FIELDS))))


def per_call(value, index):
    """A scenario value, or the value for this call when given as {"per_call": [...]} (last repeats)."""
    if isinstance(value, dict) and "per_call" in value:
        values = value["per_call"]
        if not values:
            raise ScenarioError("per_call needs at least one value")
        return values[min(index, len(values) - 1)]
    return value
