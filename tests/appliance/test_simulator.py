"""The simulator over real HTTPS: logon exchanges, reply shapes by version, faults, journal, uploads."""

import base64
import hashlib
import http.client
import json
import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import appliance  # noqa: E402
import lprpc  # noqa: E402
from control import ControlServer  # noqa: E402
from journal import journal_line  # noqa: E402
from linecipher import line_cipher_key  # noqa: E402
from scenario import ScenarioError, load_scenario  # noqa: E402

SESSION = "SIMSESSION-0001"
TLS = ssl._create_unverified_context()


class Client:
    """A bare HTTPS client that shows status, headers and body as they came."""

    def __init__(self, instance, timeout=5):
        self.instance = instance
        self.timeout = timeout

    def request(self, method, path, body=None, headers=None):
        if self.instance.scenario["tls"]:
            conn = http.client.HTTPSConnection(self.instance.host, self.instance.port, timeout=self.timeout,
                                               context=TLS)
        else:
            conn = http.client.HTTPConnection(self.instance.host, self.instance.port, timeout=self.timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            conn.close()

    def call(self, procedure, params):
        status, headers, body = self.request("POST", appliance.LOGON_PATH, lprpc.encode_call(procedure, params),
                                             {"Content-Type": lprpc.CONTENT_TYPE})
        return status, headers, body

    def reply(self, procedure, params):
        status, _, body = self.call(procedure, params)
        assert status == 200, status
        return lprpc.read_reply(body)


class InstanceCase(unittest.TestCase):
    def start(self, **scenario):
        instance = appliance.Instance(load_scenario(scenario), port=0).start()
        self.addCleanup(instance.stop)
        return instance, Client(instance)


class LogonTest(InstanceCase):
    def test_logon_list_and_post_exchange(self):
        instance, client = self.start(version=15, session=SESSION, zone="Lab", zone_commands=["A", "B"],
                                      interval=30, interrogation_list=["[InterrogationLiterals]", "L1=FILE,R,${BASE}"])
        self.assertEqual(client.reply(1, [15]), (0, [15, SESSION]))
        self.assertEqual(client.reply(8, [15, "team-cred"]), (0, [15, SESSION]))
        base = "https://127.0.0.1:%d" % instance.port
        self.assertEqual(client.reply(10, [15, SESSION]), (0, [["[InterrogationLiterals]", "L1=FILE,R," + base]]))
        results = [["R", True, ["item"]]]
        properties = [["user", 1], ["x64", True]]
        self.assertEqual(client.reply(11, [15, SESSION, results, properties]), (0, [True, 30, "Lab", ["A", "B"]]))
        self.assertEqual(client.reply(2, [15, SESSION]), (0, []))

        journal = instance.journal_snapshot()
        self.assertEqual([(e["procedure"], e["call"], e["status"]) for e in journal],
                         [(1, 0, 200), (8, 0, 200), (10, 0, 200), (11, 0, 200), (2, 0, 200)])
        self.assertEqual(journal[1]["arguments"], [15, "team-cred"])
        self.assertEqual(journal[3]["arguments"], [15, SESSION, [["R", True, ["item"]]], [["user", 1], ["x64", True]]])
        self.assertEqual(journal[3]["headers"]["Content-Type"], lprpc.CONTENT_TYPE)
        self.assertTrue(all(not e["problems"] for e in journal), journal)
        self.assertTrue(journal_line(journal[2]).startswith(
            '#2 POST /__api__/__logon__ 200 proc=10 call=0 args=[15,"SIMSESSION-0001"] '
            'ctype="application/lprpc; version=1.0"'))

    def test_reply_shapes_follow_the_version(self):
        agent = {"name": "A", "number1": 1, "text1": "t", "number2": 2, "fileType": "cab", "version": "1.0",
                 "url": "${BASE}/postauth/a.cab", "number3": 3, "targetUser": "u", "installArguments": "/q",
                 "extra": 9}
        # (version, procedure, number of result members, or of members per agent for 17 and 12)
        cases = [(7, 10, 2), (8, 10, 1), (7, 11, 3), (8, 11, 4), (15, 21, 6),
                 (4, 17, 9), (5, 17, 10), (9, 12, 10), (10, 12, 11), (15, 17, 10)]
        with_interval = {(7, 10): 1, (8, 11): 1, (15, 21): 3}
        for version, procedure, members in cases:
            with self.subTest(version=version, procedure=procedure):
                instance, client = self.start(version=version, interval=5, agents=[agent], deploy=[agent])
                self.assertEqual(client.reply(1, [15])[1][0], version)
                params = [version, SESSION] if procedure != 21 else [version, "cred", "zone", "1", []]
                status, result = client.reply(procedure, params)
                self.assertEqual(status, 0)
                if procedure in (17, 12):
                    self.assertEqual(len(result[0][0]), members)
                    self.assertEqual(result[0][0][6], "https://127.0.0.1:%d/postauth/a.cab" % instance.port)
                else:
                    self.assertEqual(len(result), members)
                    if (version, procedure) in with_interval:
                        self.assertEqual(result[with_interval[version, procedure]], 5)

    def test_subsequent_replies_follow_the_classification_sequence(self):
        _, client = self.start(interval=10, zone="Z", subsequent=[
            {"classification": 1}, {"classification": 3, "list": ["[InterrogationLiterals]", "L=PROCESS,R,x"]},
            {"classification": 2, "interval": 0, "zone_commands": ["LOGOUT"]}])
        replies = [client.reply(21, [15, "cred", "Z", "1", []])[1] for _ in range(4)]
        self.assertEqual(replies[0], [1, "", [], 10, "Z", []])
        self.assertEqual(replies[1], [3, "", ["[InterrogationLiterals]", "L=PROCESS,R,x"], 10, "Z", []])
        self.assertEqual(replies[2], [2, "", [], 0, "Z", ["LOGOUT"]])
        self.assertEqual(replies[3], replies[2], "the last reply repeats")

    def test_departures_from_the_agreed_head_are_noted(self):
        instance, client = self.start(version=9, strict_session=True)
        client.reply(1, [14])
        client.reply(10, [15, SESSION])
        self.assertEqual(client.reply(10, [9, "other"]), (4, (2, 0, "invalid session")))
        client.request("POST", appliance.LOGON_PATH, lprpc.encode_call(10, [9, SESSION]) + b"\0",
                       {"Content-Type": lprpc.CONTENT_TYPE})
        client.request("POST", appliance.LOGON_PATH, lprpc.encode_call(10, [9, SESSION]),
                       {"Content-Type": "text/plain"})
        journal = instance.journal_snapshot()
        self.assertEqual([e["problems"] for e in journal],
                         [["announced version 14, not 15"], ["version 15, agreed 9"],
                          ["session 'other', issued 'SIMSESSION-0001'"], ["1 bytes after the call"],
                          ["Content-Type 'text/plain'"]])
        self.assertTrue(journal_line(journal[3]).endswith(' problems=["1 bytes after the call"]'))


class FaultTest(InstanceCase):
    def test_reply_faults_by_call_index(self):
        faults = [
            {"procedure": 10, "call": 0, "fault": {"code": 7, "code2": 9, "text": "denied"}},
            {"procedure": 10, "call": 1, "fault": {"code": 7, "code2": 9, "extra": 5, "text": "denied"}},
            {"procedure": 10, "call": 2, "fault": [7, "x"]},
            {"procedure": 10, "call": 3, "result": [["[InterrogationLiterals]", 12]]},
            {"procedure": 10, "call": 4, "reply": [2, "not a structure"]},
            {"procedure": 10, "call": 5, "body_hex": "11 00"},
            {"procedure": 10, "call": 6, "result": [[{"string_raw": "6162"}]]},
        ]
        instance, client = self.start(faults=faults, interrogation_list=["L"])
        expected = [(4, (7, 9, "denied")), (4, (7, 9, "denied")), (2, None), (0, [["[InterrogationLiterals]", 12]]),
                    (2, None), (1, None), (0, [["ab"]]), (0, [["L"]])]
        for call, want in enumerate(expected):
            with self.subTest(call=call):
                self.assertEqual(client.reply(10, [15, SESSION]), want)
        _, _, body = client.call(10, [15, SESSION])
        self.assertEqual(body, lprpc.encode_result([["L"]]), "calls past the faults are answered normally")
        actions = [e.get("action") for e in instance.journal_snapshot()]
        self.assertEqual(actions, ["fault", "fault", "fault", "result", "reply", "body_hex", "result", None, None])

    def test_http_faults(self):
        faults = [{"procedure": 10, "call": 0, "http_status": 401},
                  {"procedure": 10, "call": 1, "http_status": 404},
                  {"procedure": 10, "call": 2, "http_status": 407},
                  {"procedure": 10, "call": 3, "http_status": 500},
                  {"procedure": 10, "call": 4, "no_content_length": True},
                  {"procedure": 10, "call": 5, "empty_body": True},
                  {"path": "/__api__/__logon__", "call": 6, "http_status": 503, "headers": {"Retry-After": "1"}}]
        _, client = self.start(faults=faults, interrogation_list=["L"])
        normal = lprpc.encode_result([["L"]])
        got = [client.call(10, [15, SESSION]) for _ in range(7)]
        self.assertEqual([g[0] for g in got], [401, 404, 407, 500, 200, 200, 503])
        self.assertIn("WWW-Authenticate", got[0][1])
        self.assertIn("Proxy-Authenticate", got[2][1])
        self.assertNotIn("Content-Length", got[4][1])
        self.assertEqual(got[4][2], normal, "the body still arrives, ended by closing the connection")
        self.assertEqual((got[5][1]["Content-Length"], got[5][2]), ("0", b""))
        self.assertEqual(got[6][1]["Retry-After"], "1")

    def test_scenario_values_that_cannot_be_sent_answer_500(self):
        instance, client = self.start(zone=None, faults=[{"procedure": 10, "result": [1 << 40]}])
        self.assertEqual(client.call(11, [15, SESSION, [], []])[0], 500)
        self.assertEqual(client.call(10, [15, SESSION])[0], 500)
        problems = [e["problems"][-1] for e in instance.journal_snapshot()]
        self.assertTrue(all(p.startswith("scenario error: ") for p in problems), problems)

    def test_delay_hang_and_close(self):
        faults = [{"procedure": 10, "call": 0, "delay": 0.4},
                  {"procedure": 10, "call": 1, "hang": True},
                  {"procedure": 10, "call": 2, "close": True}]
        instance, client = self.start(faults=faults)
        began = time.monotonic()
        self.assertEqual(client.call(10, [15, SESSION])[0], 200)
        self.assertGreaterEqual(time.monotonic() - began, 0.4)
        client.timeout = 0.5
        with self.assertRaises(socket.timeout):
            client.call(10, [15, SESSION])
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, ssl.SSLError)):
            client.call(10, [15, SESSION])
        journal = instance.journal_snapshot()
        self.assertEqual([e["status"] for e in journal], [200, None, None])
        self.assertIn("#1 POST /__api__/__logon__ - proc=10 call=1", journal_line(journal[1]))


class SizedReplyTest(InstanceCase):
    def test_large_and_expansion_replies_are_built_to_size_and_journalled(self):
        faults = [{"procedure": 10, "call": 0, "large_reply": 200003},
                  {"procedure": 10, "call": 1, "large_reply": 48},
                  {"procedure": 10, "call": 2, "expansion_reply": 400000}]
        instance, client = self.start(faults=faults)
        large = client.call(10, [15, SESSION])
        self.assertEqual((large[0], len(large[2]), large[1]["Content-Type"]), (200, 200003, lprpc.CONTENT_TYPE))
        status, results = lprpc.read_reply(large[2])
        lines = results[0]
        self.assertEqual((status, lines[0]), (lprpc.ST_OK, "[InterrogationLiterals]"))
        self.assertEqual(sum(len(line) for line in lines[1:]), 200003 - 14 - 27 - 4 * (len(lines) - 1))
        self.assertEqual(lprpc.read_reply(client.call(10, [15, SESSION])[2]), (lprpc.ST_OK, [["[InterrogationLiterals]", "xxx"]]))

        body = client.call(10, [15, SESSION])[2]
        block = 3 + 3 * 65535
        self.assertEqual(len(body), 14 + 2 * block, "as many blocks as fit in 400,000 bytes")
        self.assertEqual(body[:17], bytes.fromhex("100002 0200000002 100001 100002 10ffff"))
        self.assertEqual(body[17:block + 14], b"\x10\x00\x00" * 65535)

        lines = [journal_line(e) for e in instance.journal_snapshot()]
        self.assertIn("action=large_reply generated=large_reply,200003", lines[0])
        self.assertIn("action=expansion_reply generated=expansion_reply,%d" % len(body), lines[2])

    def test_sizes_too_small_to_build(self):
        with self.assertRaises(appliance.ScenarioError):
            appliance.large_reply(47)
        with self.assertRaises(appliance.ScenarioError):
            appliance.expansion_reply(196621)


class FilesAndUploadsTest(InstanceCase):
    def test_downloads_put_and_location(self):
        instance, client = self.start(files=os.path.join(HERE, "scenarios", "files"),
                                      inline_files={"x/inline.bin": {"base64": "AAEC"}, "t.txt": "text"})
        self.assertEqual(client.request("GET", "/postauth/hello.txt")[2], b"hello from the appliance simulator\n")
        self.assertEqual(client.request("GET", "/postauth/x/inline.bin")[2], b"\0\1\2")
        self.assertEqual(client.request("GET", "/postauth/t.txt", headers={"Cookie": "FARLINK_ID=abc"})[2], b"text")
        self.assertEqual(client.request("GET", "/postauth/../simulator.py")[0], 404)
        self.assertEqual(client.request("GET", "/postauth/missing")[0], 404)
        self.assertEqual(client.request("PUT", "/postauth/up/new.bin", b"put bytes")[0], 201)
        self.assertEqual(client.request("GET", "/postauth/up/new.bin")[2], b"put bytes")
        status, headers, _ = client.request("POST", "/postauth/epc/post", b"<epcData/>",
                                            {"X-Velmora-MAC": "00FF", "Content-Type": "text/xml"})
        self.assertEqual((status, headers["Location"]),
                         (200, "https://127.0.0.1:%d/postauth/epc/result" % instance.port))
        journal = instance.journal_snapshot()
        self.assertIn('cookie="FARLINK_ID=abc"', journal_line(journal[2]))
        self.assertEqual(journal[-1]["body_text"], "<epcData/>")
        self.assertIn('mac="00FF"', journal_line(journal[-1]))

    def test_a_truncated_download_announces_the_whole_body(self):
        instance, client = self.start(inline_files={"a/agent.cfg": "0123456789"},
                                      faults=[{"path": "/postauth/a/agent.cfg", "truncate": 4}])
        with self.assertRaises(http.client.IncompleteRead) as raised:
            client.request("GET", "/postauth/a/agent.cfg")
        self.assertEqual((raised.exception.partial, raised.exception.expected), (b"0123", 6))
        self.assertEqual(instance.journal_snapshot()[0]["action"], "truncate")

    def test_log_upload_is_stored_and_deciphered(self):
        key = line_cipher_key()

        def cipher_line(text):
            # Each line on its own, with openssl doing the padding: independent of the deciphering code.
            out = subprocess.run(["openssl", "enc", "-e", "-aes-256-cbc", "-K", key.hex(), "-iv", "0" * 32],
                                 input=text, stdout=subprocess.PIPE, check=True).stdout
            return base64.b64encode(out)

        sixteen = b"0123456789abcdef"
        self.assertEqual(len(cipher_line(sixteen)), 44)
        self.assertEqual(len(cipher_line(b"")), 24)
        log = (b"01/02/2024 10:11:12.013 INFO plain line\r\n" + cipher_line(b"first secret\r\n") + b"\n" +
               cipher_line(sixteen) + b"\n" + cipher_line(b"") + b"\n" + b"QUJD\n" +
               cipher_line(b"first secret\r\n") + b"\n")
        instance, client = self.start(faults=[{"path": appliance.LOG_UPLOAD_PATH, "call": 0, "http_status": 500}])
        statuses = []
        for file_bytes in (log, log, b""):
            body = appliance.UPLOAD_HEAD + file_bytes + appliance.UPLOAD_TAIL
            statuses.append(client.request("POST", appliance.LOG_UPLOAD_PATH, body, {
                "Content-Type": "multipart/form-data; boundary=jiminycricket", "Cookie": "FARLINK_ID=team"})[0])
        self.assertEqual(statuses, [500, 200, 200], "the fault answers the first upload, which is still kept")
        uploads = instance.uploads_snapshot()
        self.assertEqual([(u["form"], u["size"], u["cookie"]) for u in uploads],
                         [("exact", len(log), "FARLINK_ID=team")] * 2 + [("exact", 0, "FARLINK_ID=team")])
        self.assertEqual(uploads[0]["text"].split("\n"),
                         ["01/02/2024 10:11:12.013 INFO plain line", "first secret", "0123456789abcdef", "",
                          "QUJD", "first secret"])
        self.assertEqual([line["ciphered"] for line in uploads[0]["lines"]], [False, True, True, True, False, True])
        with open(uploads[1]["stored_path"], "rb") as handle:
            self.assertEqual(handle.read(), log)
        self.assertEqual((uploads[0]["field"], uploads[0]["filename"]), ("test", "text1.txt"))

        # A form that is not the client's exact one is still stored, and told apart.
        body = b"--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\nxyz\r\n--b--\r\n"
        client.request("POST", appliance.LOG_UPLOAD_PATH, body, {"Content-Type": "multipart/form-data; boundary=b"})
        last = instance.uploads_snapshot()[-1]
        self.assertEqual((last["form"], base64.b64decode(last["file_base64"])), ("other", b"xyz\r\n"))
        line = journal_line(instance.journal_snapshot()[-1])
        self.assertIn("upload=3 bytes=5 form=other", line)


class DownloadPageTest(InstanceCase):
    def test_page_links_the_downloads_and_sets_the_session_cookies(self):
        folder = self.folder({"kesiMsiBootstraper.exe": b"MZ program", "kesi.msi": b"\xd0\xcf package",
                              "kesiVista.msi": b"\xd0\xcf broker"})
        os.mkdir(os.path.join(folder, "sub"))
        instance, client = self.start(downloads=folder, session="TOKEN-7")
        base = "https://127.0.0.1:%d" % instance.port
        conn = http.client.HTTPSConnection(instance.host, instance.port, timeout=5, context=TLS)
        self.addCleanup(conn.close)
        conn.request("GET", appliance.DOWNLOAD_PAGE_PATH)
        response = conn.getresponse()
        page = response.read().decode("utf-8")
        self.assertEqual(response.status, 200)
        cookies = [value.split(";")[0] for name, value in response.getheaders() if name == "Set-Cookie"]
        self.assertEqual(cookies, ["FARLINK_ID=TOKEN-7", "urlConfig=%s/postauth/config" % base,
                                   "responseUrl=%s/postauth/post" % base, "successUrl=%s/postauth/__EPCsuccess" % base,
                                   "failureUrl=%s/postauth/__EPCfailure" % base,
                                   "autoUploadUrl=%s/postauth/__EPCautoupload" % base,
                                   "epclogoffUrl=%s/postauth/__EPClogoff" % base])
        links = re.findall(r'href="([^"]+)"', page)
        self.assertEqual(links, ["/postauth/kesi.msi", "/postauth/kesiMsiBootstraper.exe", "/postauth/kesiVista.msi"])
        for link, name in zip(links, ["kesi.msi", "kesiMsiBootstraper.exe", "kesiVista.msi"]):
            with open(os.path.join(folder, name), "rb") as handle:
                self.assertEqual(client.request("GET", link)[2], handle.read(), link)
        for path in ("/postauth/sub", "/postauth/../kesi.msi", "/postauth/%2e%2e/kesi.msi"):
            self.assertEqual(client.request("GET", path)[0], 404, path)
        # Without a downloads folder there is no page.
        _, plain = self.start()
        self.assertEqual(plain.request("GET", appliance.DOWNLOAD_PAGE_PATH)[0], 404)

    def test_a_downloads_folder_that_is_missing_is_refused(self):
        with self.assertRaises(ScenarioError):
            load_scenario({"downloads": os.path.join(self.folder({}), "missing")})

    def test_journal_entries_carry_wall_clock_start_and_finish(self):
        instance, client = self.start(inline_files={"a.txt": "a"},
                                      faults=[{"path": "/postauth/a.txt", "call": 1, "delay": 0.3}])
        before = time.time()
        client.request("GET", "/postauth/a.txt")
        client.request("GET", "/postauth/a.txt")
        # The entry is finished just after the answer has gone out.
        deadline = time.monotonic() + 5
        while instance.journal_snapshot()[-1]["finished"] is None and time.monotonic() < deadline:
            time.sleep(0.01)
        after = time.time()
        first, second = instance.journal_snapshot()
        self.assertLessEqual(before, first["started"])
        self.assertLessEqual(first["started"], first["finished"])
        self.assertLessEqual(first["finished"], second["started"])
        # The delayed answer: its start is taken when the request came, its finish when it was answered.
        self.assertGreaterEqual(second["finished"] - second["started"], 0.3)
        self.assertLessEqual(second["finished"], after)

    def folder(self, files):
        import shutil
        import tempfile
        folder = tempfile.mkdtemp(prefix="kesi-sim-downloads-")
        self.addCleanup(shutil.rmtree, folder, True)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as handle:
                handle.write(data)
        return folder


class CertificateTest(InstanceCase):
    def test_certificate_kinds(self):
        for kind, subject, expired in [("self-signed", "CN=127.0.0.1", False), ("expired", "CN=127.0.0.1", True),
                                       ("wrong-name", "CN=wrong.invalid", False)]:
            with self.subTest(kind):
                instance, _ = self.start(certificate=kind)
                pem = ssl.get_server_certificate(("127.0.0.1", instance.port))
                out = subprocess.run(["openssl", "x509", "-noout", "-subject", "-enddate", "-fingerprint", "-sha1"],
                                     input=pem.encode(), stdout=subprocess.PIPE, check=True).stdout.decode()
                self.assertIn(subject, out.replace(" = ", "="))
                self.assertEqual("2001 GMT" in out, expired, out)
                self.assertIn(instance.describe()["certificate_sha1"], out.replace(":", ""))

    def test_switching_the_certificate_closes_kept_alive_connections(self):
        instance, _ = self.start()
        first = instance.describe()
        conn = http.client.HTTPSConnection(instance.host, instance.port, timeout=5, context=TLS)
        self.addCleanup(conn.close)
        conn.request("POST", appliance.LOGON_PATH, lprpc.encode_call(1, [15]), {"Content-Type": lprpc.CONTENT_TYPE})
        self.assertEqual(conn.getresponse().read()[:1], b"\x10")
        kept = conn.sock
        instance.switch_certificate("other")
        self.assertNotEqual(first["certificate_sha256"], instance.describe()["certificate_sha256"])
        self.assertEqual(kept.recv(1), b"", "the kept-alive connection is closed")
        pem = ssl.get_server_certificate(("127.0.0.1", instance.port))
        der = ssl.PEM_cert_to_DER_cert(pem)
        self.assertEqual(hashlib.sha256(der).hexdigest().upper(), instance.describe()["certificate_sha256"])
        with self.assertRaises(ScenarioError):
            instance.switch_certificate("no-such-kind")


class ControlTest(unittest.TestCase):
    def test_instances_through_the_control_server(self):
        control = ControlServer(("127.0.0.1", 0))
        threading.Thread(target=control.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        self.addCleanup(control.server_close)
        self.addCleanup(control.stop_all)
        self.addCleanup(control.shutdown)

        def ask(method, path, body=None):
            conn = http.client.HTTPConnection("127.0.0.1", control.server_address[1], timeout=5)
            conn.request(method, path, body=body)
            response = conn.getresponse()
            data = response.read()
            conn.close()
            return response.status, data

        status, data = ask("POST", "/instances", json.dumps({"base": "default", "version": 7, "interval": 12}))
        self.assertEqual(status, 201, data)
        created = json.loads(data)
        self.assertEqual(ask("POST", "/instances", b'{"versoin": 7}')[0], 400, "unknown keys are refused")
        second = json.loads(ask("POST", "/instances", b"")[1])
        self.assertNotEqual(created["port"], second["port"])

        instance = control.instances[created["id"]]
        client = Client(instance)
        self.assertEqual(client.reply(1, [15]), (0, [7, SESSION]))
        self.assertEqual(client.reply(10, [7, SESSION])[1][1], 12, "version 7 carries the interval in the list reply")
        body = appliance.UPLOAD_HEAD + b"line\n" + appliance.UPLOAD_TAIL
        client.request("POST", appliance.LOG_UPLOAD_PATH, body,
                       {"Content-Type": "multipart/form-data; boundary=jiminycricket"})

        status, text = ask("GET", "/instances/%d/journal.txt" % created["id"])
        lines = text.decode().splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(lines[0].startswith("#0 POST /__api__/__logon__ 200 proc=1 call=0 args=[15] "), lines[0])
        self.assertIn(" upload=0 bytes=5 form=exact", lines[2])
        self.assertEqual(len(json.loads(ask("GET", "/instances/%d/journal?since=1" % created["id"])[1])), 2)
        uploads = json.loads(ask("GET", "/instances/%d/uploads" % created["id"])[1])
        self.assertEqual(uploads[0]["text"], "line")
        self.assertEqual(ask("GET", "/instances/%d/uploads/0/body" % created["id"])[1], body)
        self.assertEqual(ask("GET", "/instances/%d/journal" % second["id"])[1].strip(), b"[]", "instances are isolated")

        status, data = ask("POST", "/instances/%d/certificate" % created["id"], b'{"kind": "wrong-name"}')
        self.assertEqual(status, 200, data)
        self.assertNotEqual(json.loads(data)["certificate_sha256"], created["certificate_sha256"])
        self.assertEqual(ask("POST", "/instances/%d/certificate" % created["id"], b'{"kind": "x"}')[0], 400)
        self.assertEqual(ask("DELETE", "/instances/%d" % created["id"])[0], 200)
        self.assertEqual(ask("GET", "/instances/%d/journal" % created["id"])[0], 404)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", created["port"]), timeout=1).close()


class StandAloneTest(unittest.TestCase):
    def test_command_line_instance_writes_its_journal(self):
        journal = os.path.join(self.tmp(), "journal.txt")
        process = subprocess.Popen([sys.executable, os.path.join(HERE, "simulator.py"), "--port", "0",
                                    "--scenario", os.path.join(HERE, "scenarios", "logout.json"),
                                    "--journal", journal], stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait, 10)
        self.addCleanup(process.terminate)
        words = process.stdout.readline().split()
        self.assertEqual(words[:2], ["LISTENING", "127.0.0.1"])
        instance = type("Target", (), {"host": "127.0.0.1", "port": int(words[2]), "scenario": {"tls": True}})
        client = Client(instance)
        self.assertEqual(client.reply(11, [15, SESSION, [], []]), (0, [False, 0, "Quarantine", ["LOGOUT"]]))
        process.terminate()
        self.assertEqual(process.wait(10), 0)
        with open(journal, encoding="utf-8") as handle:
            self.assertIn("proc=11 call=0 args=[15,\"SIMSESSION-0001\",[],[]]", handle.read())

    def test_background_control_server_stops_on_request(self):
        folder = self.tmp()
        pid_file = os.path.join(folder, "pid")
        out = subprocess.run([sys.executable, os.path.join(HERE, "simulator.py"), "--control", "127.0.0.1:0",
                              "--background", "--pid-file", pid_file], stdout=subprocess.PIPE, text=True,
                             timeout=10, check=True).stdout
        words = out.split()
        self.assertEqual(words[:2], ["LISTENING", "127.0.0.1"])
        conn = http.client.HTTPConnection("127.0.0.1", int(words[2]), timeout=5)
        conn.request("DELETE", "/server")
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()
        deadline = time.monotonic() + 5
        while os.path.exists(pid_file) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(os.path.exists(pid_file), "the server ends and removes its pid file")

    def tmp(self):
        import tempfile
        folder = tempfile.mkdtemp(prefix="kesi-sim-test-")
        self.addCleanup(lambda: __import__("shutil").rmtree(folder, ignore_errors=True))
        return folder


if __name__ == "__main__":
    unittest.main()
