#!/usr/bin/python3
"""The update server's FTP side on loopback (pyftpdlib), with scripted faults for the tests.

Usage: ftp_update_server.py --root DIR --user U --password P [--mode MODE] [--bytes N]
                            [--every T] [--fault-on SUFFIX] [--announce] [--trace FILE]

Prints "PORT <n>" on one line once it listens on 127.0.0.1, then serves until killed or until
its standard input closes (unless --keep-running). Modes (the fault hits the first RETR only, or
with --fault-on the first RETR of a name ending in SUFFIX; later ones are served normally,
except where said):
  normal   plain server
  cut      the data connection is reset after N bytes
  stall    N bytes are sent, then the data connection stays open and silent
  slow     the file is sent at N bytes a second (in ten pieces a second, at least a byte each)
  trickle  N bytes (at least one) every T seconds (--every), the connection open in between
  flood    every RETR sends the file and then filler bytes without end
  mute     answers the login, then no command at all (the connection stays open)
  silent   not FTP at all: connections are accepted and never answered
--announce names the file's size in the RETR reply, "(N bytes)", as many servers do.
--trace appends every command the server receives ("CMD arg", PASS hidden) to FILE.
"""
import argparse
import os
import select
import socket

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

import peerlib


def run_silent():
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)
    peerlib.announce_port(srv.getsockname()[1])
    held = [srv]
    while True:
        readable, _, _ = select.select(held, [], [])
        for s in readable:
            if s is srv:
                conn, _ = srv.accept()
                held.append(conn)
            else:
                try:
                    data = s.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    held.remove(s)
                    s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--mode", default="normal",
                    choices=["normal", "cut", "stall", "slow", "trickle", "flood", "mute",
                             "silent"])
    ap.add_argument("--bytes", type=int, default=0)
    ap.add_argument("--every", type=float, default=1.0)
    ap.add_argument("--fault-on", default="")
    ap.add_argument("--announce", action="store_true")
    ap.add_argument("--fault-retr", type=int, default=1,
                    help="the RETR (1 = the first, of those --fault-on names) that cut, stall, "
                         "slow and trickle apply to")
    ap.add_argument("--trace")
    ap.add_argument("--keep-running", action="store_true",
                    help="ignore standard input; run until killed")
    args = ap.parse_args()

    if not args.keep_running:
        peerlib.exit_when_stdin_closes()
    if args.mode == "silent":
        run_silent()
        return

    limit = args.bytes
    state = {"retr": 0}

    def trace(text):
        if args.trace:
            with open(args.trace, "a") as f:
                f.write(text + "\n")

    class FaultDTP(DTPHandler):
        sent_total = 0
        pacing = False

        def send(self, data):
            fault = getattr(self.cmd_channel, "fault", None)
            if not fault:
                return super().send(data)
            if fault in ("slow", "trickle"):
                if self.pacing:
                    return 0
                if fault == "slow":
                    piece, gap = max(limit // 10, 1), 0.1
                else:
                    piece, gap = max(limit, 1), args.every
                sent = super().send(data[:piece])
                # Nothing more until the next piece is due.
                self.pacing = True
                self.modify_ioloop_events(self.ioloop.READ)
                self.ioloop.call_later(gap, self.pace)
                return sent
            room = max(limit - self.sent_total, 0)
            sent = super().send(data[:room]) if room else 0
            self.sent_total += sent
            if self.sent_total >= limit:
                self.cmd_channel.fault = None
                # No more write notices: the rest stays queued and is never sent.
                self.modify_ioloop_events(self.ioloop.READ)
                if fault == "cut":
                    # A moment after the last bytes: a reset that arrives while the client has
                    # not read them yet makes the kernel drop them, and the break would then
                    # come before any data. The client reads them, then meets the reset.
                    self.ioloop.call_later(0.3, self.reset)
            return sent

        def pace(self):
            self.pacing = False
            if not self._closed:
                self.modify_ioloop_events(self.ioloop.WRITE)

        def close(self):
            if getattr(self.cmd_channel, "fault", None) in ("slow", "trickle"):
                self.cmd_channel.fault = None
            super().close()

        def reset(self):
            if self._closed:
                return
            peerlib.reset_on_close(self.socket)
            # As a server whose transfer broke: "426" on the control connection, then the reset.
            self.handle_close()

    class Handler(FTPHandler):
        dtp_handler = FaultDTP
        use_sendfile = False
        fault = None

        def pre_process_command(self, line, cmd, arg):
            trace("PASS ****" if cmd == "PASS" else line)
            if args.mode == "mute" and self.authenticated:
                return None  # heard, never answered
            return super().pre_process_command(line, cmd, arg)

        def ftp_RETR(self, file):
            if file.endswith(args.fault_on):
                state["retr"] += 1
                if state["retr"] == args.fault_retr and \
                        args.mode in ("cut", "stall", "slow", "trickle"):
                    self.fault = args.mode
            self.announced = os.path.getsize(file) if args.announce and os.path.isfile(file) \
                else None
            return super().ftp_RETR(file)

        def respond(self, resp, logfun=None):
            size = getattr(self, "announced", None)
            if size is not None and resp[:4] in ("125 ", "150 "):
                self.announced = None
                resp = "%s (%d bytes)." % (resp.rstrip("."), size)
            if logfun is None:
                return super().respond(resp)
            return super().respond(resp, logfun)

        def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
            if args.mode == "flood" and cmd == "RETR" and isproducer:
                data = peerlib.EndlessProducer(data, b"\xA5")
            return super().push_dtp_data(data, isproducer, file, cmd)

    auth = DummyAuthorizer()
    auth.add_user(args.user, args.password, args.root, perm="elr")
    Handler.authorizer = auth
    Handler.banner = "test server ready"
    Handler.passive_ports = None
    Handler.auth_failed_timeout = 0  # answer a wrong password at once
    server = FTPServer(("127.0.0.1", 0), Handler)
    peerlib.announce_port(server.socket.getsockname()[1])
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
