"""The control server: a plain-HTTP interface on loopback through which tests start, inspect and stop
appliance instances (routes in README.md)."""

import http.server
import json
import socketserver
import threading
import urllib.parse

from appliance import Instance, QuietHandler
from journal import journal_line
from scenario import ScenarioError, load_scenario


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
        if len(parts) == 3 and parts[0] == "instances" and parts[2] == "certificate":
            self.switch_certificate(parts[1], body)
            return
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

    def switch_certificate(self, ident, body):
        instance = self.instance_for(ident)
        if instance is None:
            self.reply_text(404, "no such instance\n")
            return
        try:
            data = json.loads(body.decode("utf-8")) if body.strip() else {}
            instance.switch_certificate(data.get("kind", "other") if isinstance(data, dict) else None)
        except (ScenarioError, ValueError, AttributeError) as error:
            self.reply_json(400, {"error": str(error)})
            return
        except (OSError, RuntimeError) as error:
            self.reply_json(500, {"error": str(error)})
            return
        self.reply_json(200, instance.describe())

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
