"""One simulated appliance: its HTTP(S) server and the handling of every request it takes (the logon
service, the log upload, files under /postauth/), answered from the scenario and the faults it lists,
and journalled."""

import base64
import copy
import html
import http.server
import ipaddress
import os
import re
import shutil
import socket
import socketserver
import ssl
import tempfile
import threading
import time
import urllib.parse

import lprpc
from certificates import CERTIFICATE_KINDS, CERTIFICATES
from journal import journal_line, json_text
from linecipher import decipher_lines
from scenario import AGENT_FIELDS, FAULT_ACTION_KEYS, SCENARIO_MISTAKES, ScenarioError, per_call

LOGON_PATH = "/__api__/__logon__"
LOG_UPLOAD_PATH = "/postauth/__EPClogfilesubmit"
FILES_PREFIX = "/postauth/"
# The page from which a user downloads the client (with "downloads" set): it links the folder's files and
# sets the session's cookies, which the bootstrapper reads from the page's browser window.
DOWNLOAD_PAGE_PATH = "/postauth/__EPCinterrogatorpage"
# The session's cookies as the download page sets them: name and the path below the instance's base.
# FARLINK_ID (the session token) comes first.
SESSION_COOKIE_PATHS = [("urlConfig", "/postauth/config"), ("responseUrl", "/postauth/post"),
                        ("successUrl", "/postauth/__EPCsuccess"), ("failureUrl", "/postauth/__EPCfailure"),
                        ("autoUploadUrl", "/postauth/__EPCautoupload"), ("epclogoffUrl", "/postauth/__EPClogoff")]

# The exact multipart form that the client's log upload writes.
UPLOAD_BOUNDARY = "jiminycricket"
UPLOAD_HEAD = (b"--jiminycricket\r\nContent-Disposition: form-data; name=\"test\"; "
               b"filename=\"text1.txt\"\r\nContent-Type: text/plain\r\n\r\n")
UPLOAD_TAIL = b"--jiminycricket--\r\n"

REASONS = {200: "OK", 302: "Found", 400: "Bad Request", 401: "Unauthorized", 403: "Forbidden",
           404: "Not Found", 405: "Method Not Allowed", 407: "Proxy Authentication Required",
           500: "Internal Server Error", 503: "Service Unavailable"}


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


# Replies built to a size rather than from the scenario (fault keys "large_reply" and "expansion_reply").
LARGE_REPLY_MINIMUM = 48
EXPANSION_BLOCK = b"\x10\xff\xff" + b"\x10\x00\x00" * 0xFFFF  # a Structure of 65,535 empty Structures


def large_reply(size):
    """A result reply of exactly size bytes in the shape of an interrogation list: {2, {{lines}}}, the
    section line and then lines of filler text (at most 60,000 bytes each), so that a client that took it
    in whole would read a valid list."""
    if size < LARGE_REPLY_MINIMUM:
        raise ScenarioError("large_reply needs at least %d bytes" % LARGE_REPLY_MINIMUM)
    lines = [b"[InterrogationLiterals]\x00"]
    left = size - 14 - (3 + len(lines[0]))
    while left > 0:
        take = min(left, 3 + 60000)
        if 0 < left - take < 4:  # what would be left is too short for a String of its own
            take -= 4
        lines.append(b"x" * (take - 4) + b"\x00")
        left -= take
    if len(lines) > 0xFFFF:
        raise ScenarioError("large_reply is too large for one Structure of lines")
    body = b"\x10\x00\x02" + b"\x02\x00\x00\x00\x02" + b"\x10\x00\x01" + b"\x10" + len(lines).to_bytes(2, "big")
    body += b"".join(b"\x04" + len(line).to_bytes(2, "big") + line for line in lines)
    assert len(body) == size
    return body


def expansion_reply(size):
    """A result reply of at most size bytes whose list Structure holds as many Structures of 65,535 empty
    Structures (3 bytes each) as fit: a few bytes on the wire that a decoder without bounds turns into
    a vector object each."""
    blocks = (size - 14) // len(EXPANSION_BLOCK)
    if blocks < 1:
        raise ScenarioError("expansion_reply needs at least %d bytes" % (14 + len(EXPANSION_BLOCK)))
    return (b"\x10\x00\x02" + b"\x02\x00\x00\x00\x02" + b"\x10\x00\x01" + b"\x10" + blocks.to_bytes(2, "big")
            + EXPANSION_BLOCK * blocks)


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


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
        self._drop_connections(close=True)
        if self._own_upload_dir:
            shutil.rmtree(self.upload_dir, ignore_errors=True)

    def describe(self):
        return {"id": self.id, "host": self.host, "port": self.port, "base": self.base["BASE"],
                "tls": self.scenario["tls"], "name": self.scenario["name"],
                "certificate_sha1": self.certificate["sha1"] if self.certificate else None,
                "certificate_sha256": self.certificate["sha256"] if self.certificate else None}

    def switch_certificate(self, kind):
        """Serves the certificate of another kind from now on. Kept-alive connections are closed, so that
        the client's next request makes a new handshake."""
        if not self.scenario["tls"]:
            raise ScenarioError("the instance serves plain HTTP")
        if kind not in CERTIFICATE_KINDS:
            raise ScenarioError("unknown certificate kind %r" % kind)
        certificate = CERTIFICATES.get(kind)
        self.server.ssl_context = self.server.make_context(certificate)
        with self.lock:
            self.certificate = certificate
        self._drop_connections(close=False)

    def _drop_connections(self, close):
        """Shuts down every open connection (and closes it too when close is set)."""
        with self.lock:
            connections = list(self.connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            if close:
                try:
                    conn.close()
                except OSError:
                    pass

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
        with self.lock:
            entry["finished"] = round(time.time(), 6)
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
            self.ssl_context = self.make_context(instance.certificate)
        super().__init__(address, handler)

    @staticmethod
    def make_context(certificate):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certificate["cert"], certificate["key"])
        return context

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

    def send(self, status, body=b"", content_type=None, headers=None, content_length=True, truncate=None):
        """truncate: announce the whole body but send only its first bytes, then close the connection."""
        self.send_response(status, REASONS.get(status))
        if content_type:
            self.send_header("Content-Type", content_type)
        # A list of pairs carries repeated headers (Set-Cookie).
        for name, value in (headers.items() if isinstance(headers, dict) else headers or []):
            self.send_header(name, value)
        if content_length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body if truncate is None else body[:int(truncate)])
        self.wfile.flush()
        if truncate is not None:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class ApplianceHandler(QuietHandler):
    server_version = "KESI-appliance-simulator"
    sys_version = ""

    def parse_request(self):
        # Called once the request line has been read: the request's start in the journal.
        self.request_started = time.time()
        return super().parse_request()

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
        entry = {"time": round(time.time() - instance.started, 3), "started": round(self.request_started, 6),
                 "finished": None, "method": self.command, "path": path, "query": url.query,
                 "headers": self.header_dict(), "body_length": len(body), "status": None}
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
        elif path == DOWNLOAD_PAGE_PATH and self.command in ("GET", "HEAD") and instance.scenario["downloads"]:
            response = self.download_page()
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
            response = self.fault_response(entry, fault, normal)
        except SCENARIO_MISTAKES as error:
            self.respond(entry, *self.scenario_mistake(entry, error))
            return
        self.respond(entry, *response[:4], content_length=response[4], truncate=fault.get("truncate"))

    def fault_response(self, entry, fault, normal):
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
        for key, build in (("large_reply", large_reply), ("expansion_reply", expansion_reply)):
            if key in fault:
                body, content_type = build(int(fault[key])), lprpc.CONTENT_TYPE
                instance.update_entry(entry, generated="%s,%d" % (key, len(body)))
        if "body_hex" in fault:
            body = bytes.fromhex("".join(fault["body_hex"].split()))
        if fault.get("empty_body"):
            body = b""
        if "headers" in fault:
            headers = dict(fault["headers"])
        if "content_type" in fault:
            content_type = fault["content_type"]
        return status, body, content_type, headers, not fault.get("no_content_length")

    def respond(self, entry, status, body, content_type, headers, content_length=True, truncate=None):
        self.server.instance.update_entry(entry, status=status, response_length=len(body))
        try:
            self.send(status, body, content_type, headers, content_length, truncate)
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
        if relative in self.download_names():
            with open(os.path.join(instance.scenario["downloads"], relative), "rb") as handle:
                return (200, handle.read(), "application/octet-stream",
                        {"Content-Disposition": 'attachment; filename="%s"' % relative})
        return (404, b"Not Found", "text/plain", {})

    def download_names(self):
        """The files of the downloads folder (its plain files, not its sub-folders), sorted."""
        folder = self.server.instance.scenario["downloads"]
        if not folder or not os.path.isdir(folder):
            return []
        return sorted(name for name in os.listdir(folder) if os.path.isfile(os.path.join(folder, name)))

    def download_page(self):
        """The download page: a link to each file of the downloads folder, and the session's cookies."""
        instance = self.server.instance
        base = instance.base["BASE"]
        token = per_call(instance.scenario["session"], 0)
        cookies = [("FARLINK_ID", token)] + [(name, base + path) for name, path in SESSION_COOKIE_PATHS]
        headers = [("Set-Cookie", "%s=%s; Path=/; Secure" % pair) for pair in cookies]
        headers.append(("Cache-Control", "no-store"))
        folder = instance.scenario["downloads"]
        items = "".join('<li><a href="%s%s">%s</a> (%d bytes)</li>\n' % (
            FILES_PREFIX, urllib.parse.quote(name), html.escape(name), os.path.getsize(os.path.join(folder, name)))
            for name in self.download_names())
        page = ("<!DOCTYPE html>\n<html><head><title>Velmora Access Manager: end-point check</title></head>\n"
                "<body><h1>End-point check</h1>\n<p>This appliance checks your computer before it admits the "
                "session. Download the installer and run it from the folder it was saved in, beside the "
                "package:</p>\n<ul>\n%s</ul>\n</body></html>\n" % items)
        return (200, page.encode("utf-8"), "text/html; charset=utf-8", headers)
