#!/usr/bin/env python3
"""Appliance simulator: the logon service, the log upload and file downloads over HTTPS.

Stand-alone:  simulator.py [--host H] [--port P] [--scenario FILE] [--journal FILE]
              prints "LISTENING <host> <port>" once it accepts connections.
Control mode: simulator.py --control HOST:PORT
              a plain-HTTP server that starts and stops isolated appliance instances
              (POST /instances, GET /instances/ID/journal, ...; see README.md).

Python 3 standard library and the openssl command line only.
"""

import argparse
import atexit
import base64
import copy
import hashlib
import http.server
import ipaddress
import json
import os
import re
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import lprpc  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
# The client's built-in key file; the first of these that exists.
KEYS_FILES = [os.path.join(REPO, "src", "core", "portable", "BuiltInKeys.inc"),
              os.path.join(REPO, "src", "core", "BuiltInKeys.inc")]
SCENARIO_DIR = os.path.join(HERE, "scenarios")

LOGON_PATH = "/__api__/__logon__"
LOG_UPLOAD_PATH = "/postauth/__EPClogfilesubmit"
FILES_PREFIX = "/postauth/"

# The exact multipart form that the client's log upload writes.
UPLOAD_BOUNDARY = "jiminycricket"
UPLOAD_HEAD = (b"--jiminycricket\r\nContent-Disposition: form-data; name=\"test\"; "
               b"filename=\"text1.txt\"\r\nContent-Type: text/plain\r\n\r\n")
UPLOAD_TAIL = b"--jiminycricket--\r\n"

REASONS = {200: "OK", 302: "Found", 400: "Bad Request", 401: "Unauthorized", 403: "Forbidden",
           404: "Not Found", 405: "Method Not Allowed", 407: "Proxy Authentication Required",
           500: "Internal Server Error", 503: "Service Unavailable"}


class ScenarioError(ValueError):
    pass


# What a scenario value that does not fit its place raises while a reply is built.
SCENARIO_MISTAKES = (ScenarioError, lprpc.LprpcError, TypeError, ValueError, KeyError, AttributeError)


# ------------------------------------------------------------------------------------------ scenario

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
    "post_location": "${BASE}/postauth/epc/result",
    "faults": [],
}

AGENT_FIELDS = [("name", ""), ("number1", 0), ("text1", ""), ("number2", 0), ("fileType", ""),
                ("version", ""), ("url", ""), ("number3", 0), ("targetUser", ""),
                ("installArguments", ""), ("extra", 0)]

SUBSEQUENT_FIELDS = {"classification", "text", "list", "interval", "zone", "zone_commands", "result"}

FAULT_MATCH_KEYS = {"procedure", "path", "path_prefix", "method", "call"}
FAULT_ACTION_KEYS = {"fault", "result", "reply", "body_hex", "http_status", "headers",
                     "content_type", "no_content_length", "empty_body", "delay", "hang", "close"}


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

    Relative "files" folders are resolved against the folder of the file that names them."""
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
    if data.get("files") and not os.path.isabs(data["files"]):
        data["files"] = os.path.normpath(os.path.join(base_dir, data["files"]))
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


# -------------------------------------------------------------------------------------- certificates

CERTIFICATE_KINDS = ("self-signed", "expired", "wrong-name")


class Certificates:
    """Self-signed server certificates made with the openssl command line, once per process and kind."""

    def __init__(self):
        self._lock = threading.Lock()
        self._dir = None
        self._made = {}

    def get(self, kind):
        with self._lock:
            if kind not in self._made:
                if self._dir is None:
                    self._dir = tempfile.mkdtemp(prefix="kesi-sim-cert-")
                self._made[kind] = self._make(kind)
            return self._made[kind]

    def cleanup(self):
        if self._dir:
            shutil.rmtree(self._dir, ignore_errors=True)

    def _make(self, kind):
        folder = os.path.join(self._dir, kind)
        os.makedirs(folder)
        key = os.path.join(folder, "key.pem")
        cert = os.path.join(folder, "cert.pem")
        if kind == "expired":
            self._make_expired(folder, key, cert)
        else:
            subject = "/CN=wrong.invalid/O=KESI appliance simulator" if kind == "wrong-name" \
                else "/CN=127.0.0.1/O=KESI appliance simulator"
            args = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "30", "-subj", subject]
            if kind == "self-signed":
                args += ["-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost,IP:::1"]
            _run(args)
        with open(cert, encoding="ascii") as handle:
            pem = handle.read()
        der = ssl.PEM_cert_to_DER_cert(pem)
        return {"cert": cert, "key": key, "pem": pem, "sha1": hashlib.sha1(der).hexdigest().upper()}

    @staticmethod
    def _make_expired(folder, key, cert):
        config = os.path.join(folder, "ca.cnf")
        with open(os.path.join(folder, "index.txt"), "w"):
            pass
        with open(config, "w", encoding="ascii") as handle:
            handle.write("[ca]\ndefault_ca=sim\n[sim]\ndir=%s\ndatabase=$dir/index.txt\n"
                         "new_certs_dir=$dir\nserial=$dir/serial\ndefault_md=sha256\n"
                         "policy=any\nunique_subject=no\n[any]\ncommonName=supplied\n"
                         "[ext]\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n" % folder)
        with open(os.path.join(folder, "serial"), "w") as handle:
            handle.write("01\n")
        csr = os.path.join(folder, "req.pem")
        _run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
              "-subj", "/CN=127.0.0.1"])
        _run(["openssl", "ca", "-batch", "-config", config, "-selfsign", "-keyfile", key,
              "-in", csr, "-out", cert, "-startdate", "20000101000000Z", "-enddate", "20010101000000Z",
              "-extensions", "ext", "-notext"])


def _run(args, data=None):
    result = subprocess.run(args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args[:3]), result.stderr.decode(errors="replace")))
    return result.stdout


CERTIFICATES = Certificates()
atexit.register(CERTIFICATES.cleanup)


# ------------------------------------------------------------------------------------ line cipher

def line_cipher_key():
    """The line cipher key, read from the client's built-in key file."""
    path = next((p for p in KEYS_FILES if os.path.isfile(p)), KEYS_FILES[0])
    with open(path, encoding="ascii") as handle:
        text = handle.read()
    match = re.search(r"#define\s+KESI_LINE_CIPHER_KEY_BYTES((?:[^\n]*\\\n)*[^\n]*)", text)
    if not match:
        raise RuntimeError("KESI_LINE_CIPHER_KEY_BYTES not found in %s" % path)
    key = bytes(int(byte, 16) for byte in re.findall(r"0x([0-9a-fA-F]{2})", match.group(1)))
    if len(key) != 32:
        raise RuntimeError("the line cipher key has %d bytes, not 32" % len(key))
    return key


_BASE64_LINE = re.compile(rb"^(?:[A-Za-z0-9+/]{4})+$|^(?:[A-Za-z0-9+/]{4})*[A-Za-z0-9+/]{2}(?:==|[A-Za-z0-9+/]=)$")


def decipher_lines(data, key=None):
    """Split an uploaded log into lines and decipher those that are line-cipher text.

    Returns a list of {"line": n, "ciphered": bool, "text": str}. A ciphered line is Base64 of
    AES-256-CBC cipher text (zero IV, PKCS #7 padding); its plain text is in the ANSI code page."""
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    cipher = {}
    for number, line in enumerate(lines):
        if len(line) >= 24 and _BASE64_LINE.match(line):
            raw = base64.b64decode(line)
            if raw and len(raw) % 16 == 0:
                cipher[number] = raw
    plain = {}
    if cipher:
        key = key or line_cipher_key()
        # One openssl run for the whole file: decipher the concatenation without padding, then undo
        # the chaining between lines (each line starts from a zero IV of its own).
        order = sorted(cipher)
        joined = b"".join(cipher[n] for n in order)
        out = _run(["openssl", "enc", "-d", "-aes-256-cbc", "-nopad", "-K", key.hex(), "-iv", "0" * 32],
                   joined)
        offset, previous = 0, bytes(16)
        for n in order:
            size = len(cipher[n])
            block = bytearray(out[offset:offset + size])
            for i in range(16):
                block[i] ^= previous[i]
            pad = block[-1]
            if 1 <= pad <= 16 and block[-pad:] == bytes([pad]) * pad:
                plain[n] = bytes(block[:-pad])
            previous = cipher[n][-16:]
            offset += size
    result = []
    for number, line in enumerate(lines):
        if number in plain:
            text = plain[number].decode("cp1252", "replace").replace("\r\n", "\n")
            result.append({"line": number + 1, "ciphered": True,
                           "text": text[:-1] if text.endswith("\n") else text})
        else:
            result.append({"line": number + 1, "ciphered": False, "text": line.decode("cp1252", "replace")})
    return result


# ------------------------------------------------------------------------------------------ helpers

def expand(value, base):
    """Replace ${BASE}, ${HOST} and ${PORT} in every String of a reply value."""
    if isinstance(value, lprpc.Text) and value.raw is not None:
        return value
    if isinstance(value, str):
        return (value.replace("${BASE}", base["BASE"]).replace("${HOST}", base["HOST"])
                .replace("${PORT}", base["PORT"]))
    if isinstance(value, list):
        return [expand(item, base) for item in value]
    if isinstance(value, lprpc.Array):
        return lprpc.Array(value.elem_tag, [expand(item, base) for item in value.items])
    return value


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


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
    if entry.get("problems"):
        parts.append("problems=" + json_text(entry["problems"]))
    return " ".join(parts)


def parse_multipart(body, content_type):
    """The parts of a multipart form: [{"name", "filename", "content_type", "data"}].

    A part's data runs up to the next delimiter line and keeps its bytes as sent: the client writes
    its closing delimiter directly behind the file's last byte, so no line break is taken off."""
    match = re.search(r'boundary="?([^";]+)"?', content_type or "")
    if not match:
        return None, "no boundary in Content-Type"
    delimiter = b"--" + match.group(1).encode("latin-1")
    pieces = body.split(delimiter)
    if len(pieces) < 3 or pieces[0] not in (b"", b"\r\n"):
        return None, "body is not framed by the boundary"
    parts = []
    for piece in pieces[1:]:
        if piece.startswith(b"--"):
            break
        if not piece.startswith(b"\r\n") or b"\r\n\r\n" not in piece:
            return None, "part without a header block"
        head, data = piece[2:].split(b"\r\n\r\n", 1)
        fields = {}
        for line in head.decode("latin-1").split("\r\n"):
            name, _, value = line.partition(":")
            fields[name.strip().lower()] = value.strip()
        disposition = fields.get("content-disposition", "")
        name = re.search(r'\bname="([^"]*)"', disposition)
        filename = re.search(r'\bfilename="([^"]*)"', disposition)
        parts.append({"name": name.group(1) if name else None,
                      "filename": filename.group(1) if filename else None,
                      "content_type": fields.get("content-type"), "data": data})
    return parts, None


# ------------------------------------------------------------------------------------------ instance

class Instance:
    """One simulated appliance: its scenario, server, journal and uploads."""

    def __init__(self, scenario, host="127.0.0.1", port=0, ident=1, journal_file=None, upload_dir=None):
        if not is_loopback(host):
            raise ScenarioError("the simulator listens on loopback addresses only, not %r" % host)
        self.id = ident
        self.scenario = scenario
        self.lock = threading.Lock()
        self.stop_event = threading.Event()
        self.journal = []
        self.uploads = []
        self.counters = {}
        self.put_files = {}
        self.session_issued = None
        self.journal_file = journal_file
        self._own_upload_dir = upload_dir is None
        self.upload_dir = upload_dir or tempfile.mkdtemp(prefix="kesi-sim-uploads-")
        os.makedirs(self.upload_dir, exist_ok=True)
        self.started = time.time()
        self.connections = set()
        self.certificate = CERTIFICATES.get(scenario["certificate"]) if scenario["tls"] else None
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        server_class = type("Server", (ApplianceServer,), {"address_family": family})
        self.server = server_class((host, port), ApplianceHandler, self)
        self.host = host
        self.port = self.server.server_address[1]
        scheme = "https" if scenario["tls"] else "http"
        shown = "[%s]" % host if ":" in host else host
        self.base = {"BASE": "%s://%s:%d" % (scheme, shown, self.port), "HOST": host, "PORT": str(self.port)}
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True, name="appliance-%d" % ident)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.stop_event.set()
        self.server.shutdown()
        self.server.server_close()
        with self.lock:
            connections = list(self.connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            try:
                conn.close()
            except OSError:
                pass
        if self._own_upload_dir:
            shutil.rmtree(self.upload_dir, ignore_errors=True)

    def describe(self):
        return {"id": self.id, "host": self.host, "port": self.port, "base": self.base["BASE"],
                "tls": self.scenario["tls"], "name": self.scenario["name"],
                "certificate_sha1": self.certificate["sha1"] if self.certificate else None}

    def next_call(self, key):
        with self.lock:
            index = self.counters.get(key, 0)
            self.counters[key] = index + 1
            return index

    def add_entry(self, entry):
        with self.lock:
            entry["index"] = len(self.journal)
            self.journal.append(entry)
        return entry

    def update_entry(self, entry, **fields):
        with self.lock:
            entry.update(fields)

    def finish_entry(self, entry):
        if self.journal_file:
            with self.lock:
                with open(self.journal_file, "a", encoding="utf-8") as handle:
                    if self.journal_file.endswith(".txt"):
                        handle.write(journal_line(entry) + "\n")
                    else:
                        handle.write(json_text(entry) + "\n")

    def journal_snapshot(self, since=0):
        with self.lock:
            return copy.deepcopy(self.journal[since:])

    def uploads_snapshot(self):
        with self.lock:
            return [dict(upload) for upload in self.uploads]

    def find_fault(self, procedure, path, method, call_by_proc, call_by_path):
        for fault in self.scenario["faults"]:
            if "procedure" in fault:
                if fault["procedure"] != procedure:
                    continue
                index = call_by_proc
            elif "path" in fault:
                if fault["path"] != path:
                    continue
                index = call_by_path
            else:
                if not path.startswith(fault["path_prefix"]):
                    continue
                index = call_by_path
            if "method" in fault and fault["method"].upper() != method:
                continue
            calls = fault.get("call")
            if calls is not None and index not in (calls if isinstance(calls, list) else [calls]):
                continue
            return fault
        return None

    # ---------------------------------------------------------------------- replies by procedure

    def version_check(self, procedure, params, problems):
        """Note departures of the common head from what was agreed at logon."""
        version = self.scenario["version"]
        first = params[0] if params else None
        if procedure in (1, 8, 35):
            if first != 15 or isinstance(first, bool):
                problems.append("announced version %r, not 15" % (first,))
        elif first != version or isinstance(first, bool):
            problems.append("version %r, agreed %d" % (first, version))
        if procedure in (2, 10, 11, 12, 13, 17, 18, 19, 35):
            session = params[1] if len(params) > 1 else None
            if session != self.session_issued:
                problems.append("session %r, issued %r" % (session if session is None else str(session),
                                                          self.session_issued))
                return self.scenario["strict_session"]
        return False

    def reply_for(self, procedure, params, call):
        """The result members of a normal reply, or None for an unknown procedure."""
        s = self.scenario
        version = s["version"]
        if procedure in (1, 8):
            session = per_call(s["session"], call)
            with self.lock:
                self.session_issued = session
            return [version, session]
        if procedure == 2:
            with self.lock:
                self.session_issued = None
            return []
        if procedure == 10:
            result = [list(per_call(s["interrogation_list"], call))]
            if version == 7:
                result.append(per_call(s["interval"], call))
            return result
        if procedure == 11:
            result = [bool(per_call(s["continue"], call))]
            if version >= 8:
                result.append(per_call(s["interval"], call))
            result += [per_call(s["zone"], call), list(per_call(s["zone_commands"], call))]
            return result
        if procedure == 21:
            replies = s["subsequent"]
            if not replies and s["classifications"]:
                replies = [{"classification": c} for c in s["classifications"]]
            reply = replies[min(call, len(replies) - 1)] if replies else {}
            if "result" in reply:
                return lprpc.from_json(reply["result"])
            return [reply.get("classification", 1), reply.get("text", ""), list(reply.get("list") or []),
                    reply.get("interval", per_call(s["interval"], call)),
                    reply.get("zone", per_call(s["zone"], call)),
                    list(reply.get("zone_commands", per_call(s["zone_commands"], call)))]
        if procedure in (17, 12):
            agents = per_call(s["agents"] if procedure == 17 else s["deploy"], call)
            return [[self.agent_structure(agent, procedure) for agent in agents]]
        if procedure in (19, 13):
            return [bool(per_call(s["report_answer"], call))]
        if procedure == 18:
            return []
        if procedure == 35:
            n = params[2] if len(params) > 2 else None
            return [int(per_call(s["query_numbers"], call).get(str(n), 0))]
        return None

    def agent_structure(self, agent, procedure):
        version = self.scenario["version"]
        members = []
        for name, default in AGENT_FIELDS:
            if name == "installArguments" and version < 5:
                continue
            if name == "extra" and not (procedure == 12 and version >= 10):
                continue
            value = agent.get(name, default)
            members.append(lprpc.from_json(value) if isinstance(value, dict) else value)
        return members


class ApplianceServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, handler, instance):
        self.instance = instance
        self.ssl_context = None
        if instance.scenario["tls"]:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(instance.certificate["cert"], instance.certificate["key"])
            self.ssl_context = context
        super().__init__(address, handler)

    def server_bind(self):
        # Not HTTPServer.server_bind: it looks the host name up, which is slow and not needed.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread.
        instance = self.instance
        conn = request
        # Replies go out as two writes (head, body); without this the second waits for the client's
        # delayed acknowledgement, about 40 ms per exchange.
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with instance.lock:
            instance.connections.add(request)
        try:
            if self.ssl_context is not None:
                request.settimeout(30)
                try:
                    conn = self.ssl_context.wrap_socket(request, server_side=True)
                except (ssl.SSLError, OSError):
                    return
                with instance.lock:
                    instance.connections.add(conn)
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            if conn is not request:
                try:
                    conn.close()
                except OSError:
                    pass
            with instance.lock:
                instance.connections.discard(request)
                instance.connections.discard(conn)

    def handle_error(self, request, client_address):
        pass


class QuietHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 300

    def log_message(self, *args):
        pass

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def send(self, status, body=b"", content_type=None, headers=None, content_length=True):
        self.send_response(status, REASONS.get(status))
        if content_type:
            self.send_header("Content-Type", content_type)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if content_length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()


class ApplianceHandler(QuietHandler):
    server_version = "KESI-appliance-simulator"
    sys_version = ""

    def do_POST(self):
        self.dispatch()

    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_PUT(self):
        self.dispatch()

    def dispatch(self):
        instance = self.server.instance
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        body = self.read_body() if self.command in ("POST", "PUT") else b""
        entry = {"time": round(time.time() - instance.started, 3), "method": self.command, "path": path,
                 "query": url.query, "headers": self.header_dict(), "body_length": len(body), "status": None}
        problems = []
        call_by_path = instance.next_call(("path", path))
        entry["path_call"] = call_by_path
        if path == LOGON_PATH and self.command == "POST":
            self.logon(entry, body, problems, call_by_path)
            return
        instance.add_entry(entry)
        # The request is taken in (uploads stored, files looked up) whatever fault then shapes the answer.
        if path == LOG_UPLOAD_PATH and self.command == "POST":
            self.log_upload(entry, body, problems)
            response = (200, b"<html><body>Upload received</body></html>", "text/html", {})
        elif path.startswith(FILES_PREFIX) and self.command in ("GET", "HEAD"):
            response = self.download(path[len(FILES_PREFIX):])
        elif path.startswith(FILES_PREFIX) and self.command == "PUT":
            self.put_upload(entry, body, path[len(FILES_PREFIX):])
            response = (201, b"", None, {})
        elif path.startswith(FILES_PREFIX) and self.command == "POST":
            instance.update_entry(entry, body_text=body.decode("utf-8", "replace"))
            location = expand(instance.scenario["post_location"], instance.base)
            response = (200, b"<html><body>Received</body></html>", "text/html", {"Location": location})
        elif path == LOGON_PATH:
            response = (405, b"", None, {"Allow": "POST"})
        else:
            response = (404, b"Not Found", "text/plain", {})
        fault = instance.find_fault(None, path, self.command, None, call_by_path)
        self.answer(entry, fault, response)

    def header_dict(self):
        headers = {}
        for name, value in self.headers.items():
            headers[name] = headers[name] + ", " + value if name in headers else value
        return headers

    # ------------------------------------------------------------------------------- logon service

    def logon(self, entry, body, problems, call_by_path):
        instance = self.server.instance
        if self.headers.get("Content-Type") != lprpc.CONTENT_TYPE:
            problems.append("Content-Type %r" % self.headers.get("Content-Type"))
        entry["body_hex"] = body.hex()
        procedure, params, reject = None, None, False
        try:
            procedure, params, trailing = lprpc.parse_call(body)
        except lprpc.LprpcError as error:
            problems.append("undecodable call: %s" % error)
        if procedure is not None:
            if trailing:
                problems.append("%d bytes after the call" % trailing)
            entry["procedure"] = procedure
            entry["call"] = instance.next_call(("procedure", procedure))
            entry["arguments"] = lprpc.to_json(params)
            reject = instance.version_check(procedure, params, problems)
        entry["problems"] = problems
        instance.add_entry(entry)
        if procedure is None:
            response = (400, b"", None, {})
        elif reject:
            response = (200, lprpc.encode([lprpc.FAULT, [2, 0, "invalid session"]]), lprpc.CONTENT_TYPE, {})
        else:
            try:
                result = instance.reply_for(procedure, params, entry["call"])
                if result is None:
                    instance.update_entry(entry, problems=problems + ["unknown procedure %d" % procedure])
                    reply = lprpc.encode([lprpc.FAULT, [1, procedure, "unknown procedure"]])
                else:
                    reply = lprpc.encode_result(expand(result, instance.base))
                response = (200, reply, lprpc.CONTENT_TYPE, {})
            except SCENARIO_MISTAKES as error:
                response = self.scenario_mistake(entry, error)
        fault = instance.find_fault(procedure, LOGON_PATH, "POST", entry.get("call"), call_by_path)
        self.answer(entry, fault, response)

    def scenario_mistake(self, entry, error):
        """A scenario value that cannot be sent: answer 500 and say why in the journal."""
        with self.server.instance.lock:
            entry["problems"] = list(entry.get("problems", [])) + ["scenario error: %s" % error]
        return (500, ("scenario error: %s" % error).encode("utf-8"), "text/plain", {})

    # ------------------------------------------------------------------------------ faults

    def answer(self, entry, fault, response):
        """Sends response, or what the fault that matched the request (if any) makes of it."""
        if not fault:
            self.respond(entry, *response)
        elif not self.apply_fault_start(entry, fault):
            self.respond_with_fault(entry, fault, response)

    def apply_fault_start(self, entry, fault):
        """Delays, hangs and closes. True when the request is finished here."""
        instance = self.server.instance
        instance.update_entry(entry, action=",".join(key for key in sorted(fault) if key in FAULT_ACTION_KEYS))
        if fault.get("delay"):
            instance.stop_event.wait(float(fault["delay"]))
        if fault.get("hang"):
            instance.finish_entry(entry)
            instance.stop_event.wait()
            self.close_connection = True
            return True
        if fault.get("close"):
            instance.finish_entry(entry)
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return True
        return False

    def respond_with_fault(self, entry, fault, normal):
        try:
            response = self.fault_response(fault, normal)
        except SCENARIO_MISTAKES as error:
            self.respond(entry, *self.scenario_mistake(entry, error))
            return
        self.respond(entry, *response[:4], content_length=response[4])

    def fault_response(self, fault, normal):
        instance = self.server.instance
        status, body, content_type, headers = normal
        if "http_status" in fault:
            status = int(fault["http_status"])
            if status != 200:
                body = REASONS.get(status, "Error").encode("ascii")
                content_type = "text/plain"
                if status == 401:
                    headers = {"WWW-Authenticate": 'Basic realm="appliance"'}
                elif status == 407:
                    headers = {"Proxy-Authenticate": 'Basic realm="proxy"'}
                else:
                    headers = {}
        if "fault" in fault:
            form = fault["fault"]
            if isinstance(form, list):
                members = lprpc.from_json(form)
            else:
                members = [form.get("code", 1), form.get("code2", 0)]
                if "extra" in form:
                    members.append(form["extra"])
                members.append(form.get("text", "fault"))
            body, content_type = lprpc.encode([lprpc.FAULT, members]), lprpc.CONTENT_TYPE
        if "result" in fault:
            body = lprpc.encode_result(expand(lprpc.from_json(fault["result"]), instance.base))
            content_type = lprpc.CONTENT_TYPE
        if "reply" in fault:
            body = lprpc.encode(expand(lprpc.from_json(fault["reply"]), instance.base))
            content_type = lprpc.CONTENT_TYPE
        if "body_hex" in fault:
            body = bytes.fromhex("".join(fault["body_hex"].split()))
        if fault.get("empty_body"):
            body = b""
        if "headers" in fault:
            headers = dict(fault["headers"])
        if "content_type" in fault:
            content_type = fault["content_type"]
        return status, body, content_type, headers, not fault.get("no_content_length")

    def respond(self, entry, status, body, content_type, headers, content_length=True):
        self.server.instance.update_entry(entry, status=status, response_length=len(body))
        try:
            self.send(status, body, content_type, headers, content_length)
        finally:
            self.server.instance.finish_entry(entry)

    # ------------------------------------------------------------------------------ uploads, files

    def log_upload(self, entry, body, problems):
        instance = self.server.instance
        content_type = self.headers.get("Content-Type", "")
        parts, error = parse_multipart(body, content_type)
        if error:
            problems.append(error)
        file_part = next((p for p in parts or [] if p["filename"] is not None), None)
        data = file_part["data"] if file_part else b""
        form = "exact" if body == UPLOAD_HEAD + data + UPLOAD_TAIL and \
            content_type == "multipart/form-data; boundary=" + UPLOAD_BOUNDARY else "other"
        self.store_upload(entry, body, data, form, {
            "field": file_part["name"] if file_part else None,
            "filename": file_part["filename"] if file_part else None,
            "part_content_type": file_part["content_type"] if file_part else None})
        instance.update_entry(entry, problems=problems)

    def put_upload(self, entry, body, name):
        self.server.instance.put_files[name] = body
        self.store_upload(entry, body, body, "put", {"filename": name})

    def store_upload(self, entry, body, data, form, fields):
        instance = self.server.instance
        with instance.lock:
            number = len(instance.uploads)
            stored = os.path.join(instance.upload_dir, "upload-%d.bin" % number)
            with open(stored, "wb") as handle:
                handle.write(data)
            with open(stored + ".body", "wb") as handle:
                handle.write(body)
            try:
                lines = decipher_lines(data)
            except (RuntimeError, OSError) as error:
                lines = [{"line": 0, "ciphered": False, "text": "(not deciphered: %s)" % error}]
            upload = {"index": number, "journal_index": entry["index"], "method": self.command,
                      "path": entry["path"], "cookie": self.headers.get("Cookie"),
                      "content_type": self.headers.get("Content-Type"), "form": form, "size": len(data),
                      "body_size": len(body), "stored_path": stored,
                      "file_base64": base64.b64encode(data).decode("ascii"),
                      "lines": lines, "text": "\n".join(line["text"] for line in lines)}
            upload.update(fields)
            instance.uploads.append(upload)
            entry.update(upload=number, upload_bytes=len(data), upload_form=form)

    def download(self, relative):
        instance = self.server.instance
        relative = relative.lstrip("/")
        if relative in instance.put_files:
            return (200, instance.put_files[relative], "application/octet-stream", {})
        inline = instance.scenario["inline_files"]
        if relative in inline:
            item = inline[relative]
            data = base64.b64decode(item["base64"]) if isinstance(item, dict) else item.encode("utf-8")
            return (200, data, "application/octet-stream", {})
        folder = instance.scenario["files"]
        if folder:
            root = os.path.realpath(folder)
            target = os.path.realpath(os.path.join(root, relative))
            if target.startswith(root + os.sep) and os.path.isfile(target):
                with open(target, "rb") as handle:
                    return (200, handle.read(), "application/octet-stream", {})
        return (404, b"Not Found", "text/plain", {})


# ------------------------------------------------------------------------------------- control mode

class ControlServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, address):
        self.instances = {}
        self.next_id = 1
        self.lock = threading.Lock()
        super().__init__(address, ControlHandler)

    def server_bind(self):
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def create(self, scenario, host):
        with self.lock:
            ident = self.next_id
            self.next_id += 1
        instance = Instance(scenario, host=host, port=0, ident=ident).start()
        with self.lock:
            self.instances[ident] = instance
        return instance

    def remove(self, ident):
        with self.lock:
            instance = self.instances.pop(ident, None)
        if instance:
            instance.stop()
        return instance

    def stop_all(self):
        with self.lock:
            idents = list(self.instances)
        for ident in idents:
            self.remove(ident)

    def handle_error(self, request, client_address):
        pass


class ControlHandler(QuietHandler):
    server_version = "KESI-simulator-control"
    sys_version = ""

    def reply_json(self, status, value):
        self.send(status, (json.dumps(value, indent=1, ensure_ascii=True) + "\n").encode("ascii"),
                  "application/json")

    def reply_text(self, status, text, content_type="text/plain; charset=utf-8"):
        self.send(status, text.encode("utf-8"), content_type)

    def instance_for(self, ident):
        try:
            return self.server.instances.get(int(ident))
        except ValueError:
            return None

    def route(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = [p for p in url.path.split("/") if p]
        return parts, query

    def do_GET(self):
        parts, query = self.route()
        if not parts:
            self.reply_text(200, "KESI appliance simulator control\n")
            return
        if parts == ["instances"]:
            with self.server.lock:
                instances = list(self.server.instances.values())
            self.reply_json(200, [instance.describe() for instance in instances])
            return
        if parts[0] != "instances" or len(parts) < 2:
            self.reply_text(404, "no such resource\n")
            return
        instance = self.instance_for(parts[1])
        if instance is None:
            self.reply_text(404, "no such instance\n")
            return
        rest = parts[2:]
        since = int(query.get("since", ["0"])[0])
        if not rest:
            self.reply_json(200, instance.describe())
        elif rest == ["journal"]:
            self.reply_json(200, instance.journal_snapshot(since))
        elif rest == ["journal.txt"]:
            self.reply_text(200, "".join(journal_line(e) + "\n" for e in instance.journal_snapshot(since)))
        elif rest == ["uploads"]:
            self.reply_json(200, instance.uploads_snapshot())
        elif rest == ["certificate"] and instance.certificate:
            self.reply_text(200, instance.certificate["pem"], "application/x-pem-file")
        elif len(rest) == 3 and rest[0] == "uploads" and rest[2] in ("file", "body", "text"):
            uploads = instance.uploads_snapshot()
            try:
                upload = uploads[int(rest[1])]
            except (ValueError, IndexError):
                self.reply_text(404, "no such upload\n")
                return
            if rest[2] == "text":
                self.reply_text(200, upload["text"])
            else:
                path = upload["stored_path"] + (".body" if rest[2] == "body" else "")
                with open(path, "rb") as handle:
                    self.send(200, handle.read(), "application/octet-stream")
        else:
            self.reply_text(404, "no such resource\n")

    def do_POST(self):
        parts, query = self.route()
        body = self.read_body()
        if parts != ["instances"]:
            self.reply_text(404, "no such resource\n")
            return
        try:
            data = json.loads(body.decode("utf-8")) if body.strip() else {}
            scenario = load_scenario(data)
            host = query.get("host", ["127.0.0.1"])[0]
            instance = self.server.create(scenario, host)
        except (ScenarioError, ValueError) as error:
            self.reply_json(400, {"error": str(error)})
            return
        except (OSError, RuntimeError) as error:
            self.reply_json(500, {"error": str(error)})
            return
        self.reply_json(201, instance.describe())

    def do_DELETE(self):
        parts, _ = self.route()
        if parts == ["server"]:
            self.reply_json(200, {"stopping": True})
            stop = getattr(self.server, "stop_requested", None)
            if stop is not None:
                stop.set()
            return
        if parts == ["instances"]:
            self.server.stop_all()
            self.reply_json(200, {"stopped": "all"})
            return
        if len(parts) == 2 and parts[0] == "instances":
            instance = self.instance_for(parts[1])
            if instance is not None and self.server.remove(instance.id):
                self.reply_json(200, {"id": instance.id, "stopped": True})
                return
        self.reply_text(404, "no such instance\n")


# ---------------------------------------------------------------------------------------------- main

def split_address(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError("expected HOST:PORT, got %r" % text)
    return host.strip("[]"), int(port)


def announce(host, port, args, ready_fd=None):
    line = "LISTENING %s %d\n" % (host, port)
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w", encoding="ascii") as handle:
            handle.write("%s %d\n" % (host, port))
        os.replace(temporary, args.port_file)
    if ready_fd is None:
        sys.stdout.write(line)
        sys.stdout.flush()
    else:
        os.write(ready_fd, line.encode("ascii"))
        os.close(ready_fd)


def go_background(log_path):
    """Fork; the parent prints the child's LISTENING line and exits 0 (1 when the child failed).

    Returns the pipe end on which the child reports readiness."""
    read_end, write_end = os.pipe()
    if os.fork():
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            line = pipe.readline()
        if not line:
            sys.stderr.write("the simulator did not start\n")
            os._exit(1)
        sys.stdout.write(line.decode("ascii"))
        sys.stdout.flush()
        os._exit(0)
    os.close(read_end)
    os.setsid()
    # Let go of the caller's streams, so that a caller waiting for their end is not held up.
    null = os.open(os.devnull, os.O_RDWR)
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) if log_path else null
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.dup2(log, 2)
    return write_end


def main(argv=None):
    parser = argparse.ArgumentParser(description="KESI appliance simulator")
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on")
    parser.add_argument("--port", type=int, default=443, help="port (0 picks a free one)")
    parser.add_argument("--scenario", default=os.path.join(SCENARIO_DIR, "default.json"),
                        help="scenario file (JSON)")
    parser.add_argument("--journal", help="write the journal here (.txt: text lines, else JSON lines)")
    parser.add_argument("--uploads", help="folder to keep uploaded files in")
    parser.add_argument("--http", action="store_true", help="plain HTTP instead of HTTPS")
    parser.add_argument("--control", type=split_address, metavar="HOST:PORT",
                        help="run the control server instead of one appliance")
    parser.add_argument("--port-file", help="also write \"host port\" to this file once listening")
    parser.add_argument("--pid-file", help="write the process id here")
    parser.add_argument("--background", action="store_true",
                        help="detach once listening (the LISTENING line is printed before the command returns)")
    parser.add_argument("--log", help="with --background: append error output to this file")
    args = parser.parse_args(argv)

    ready_fd = go_background(args.log) if args.background else None
    if args.pid_file:
        with open(args.pid_file, "w", encoding="ascii") as handle:
            handle.write("%d\n" % os.getpid())
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    try:
        if args.control:
            host, port = args.control
            if not is_loopback(host):
                parser.error("the control server listens on loopback addresses only")
            family = socket.AF_INET6 if ":" in host else socket.AF_INET
            server_class = type("Control", (ControlServer,), {"address_family": family})
            try:
                control = server_class((host, port))
            except OSError as error:
                print("cannot listen on %s:%d: %s" % (host, port, error), file=sys.stderr)
                return 1
            control.stop_requested = stop
            thread = threading.Thread(target=control.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
            thread.start()
            announce(host, control.server_address[1], args, ready_fd)
            stop.wait()
            control.shutdown()
            control.stop_all()
            control.server_close()
            return 0
        try:
            scenario = load_scenario(args.scenario)
        except ScenarioError as error:
            parser.error(str(error))
        if args.http:
            scenario["tls"] = False
        if args.journal:
            open(args.journal, "w").close()
        try:
            instance = Instance(scenario, host=args.host, port=args.port, journal_file=args.journal,
                                upload_dir=args.uploads).start()
        except ScenarioError as error:
            parser.error(str(error))
        except OSError as error:
            print("cannot listen on %s:%d: %s" % (args.host, args.port, error), file=sys.stderr)
            return 1
        announce(instance.host, instance.port, args, ready_fd)
        stop.wait()
        instance.stop()
        return 0
    finally:
        CERTIFICATES.cleanup()
        if args.pid_file:
            try:
                os.remove(args.pid_file)
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())
