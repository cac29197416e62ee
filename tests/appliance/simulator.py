#!/usr/bin/env python3
"""Appliance simulator: the logon service, the log upload and file downloads over HTTPS.

Stand-alone:  simulator.py [--host H] [--port P] [--scenario FILE] [--journal FILE] [--downloads DIR]
              prints "LISTENING <host> <port>" once it accepts connections.
Control mode: simulator.py --control HOST:PORT
              a plain-HTTP server that starts and stops isolated appliance instances
              (POST /instances, GET /instances/ID/journal, ...; see README.md).

Python 3 standard library and the openssl command line only. This file is the command line; the
modules beside it hold the rest (README.md says which does what).
"""

import argparse
import os
import signal
import socket
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from appliance import DOWNLOAD_PAGE_PATH, Instance, is_loopback  # noqa: E402
from certificates import CERTIFICATES  # noqa: E402
from control import ControlServer  # noqa: E402
from scenario import SCENARIO_DIR, ScenarioError, load_scenario  # noqa: E402


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
    parser.add_argument("--downloads", metavar="DIR",
                        help="serve the download page %s linking the files of DIR (served under /postauth/)"
                        % DOWNLOAD_PAGE_PATH.replace("%", "%%"))
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
        if args.downloads:
            if not os.path.isdir(args.downloads):
                parser.error("--downloads: %s is not a folder" % args.downloads)
            scenario["downloads"] = os.path.abspath(args.downloads)
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
