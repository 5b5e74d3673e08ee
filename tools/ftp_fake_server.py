#!/usr/bin/python3
"""A scriptable FTP server on loopback for the FTP client's tests and benchmarks.

It is an ordinary pyftpdlib server that serves one directory to one user, and that misbehaves
on request: any command can be given a fixed reply (several lines, garbage, or none at all),
the greeting can be anything, and the data connection of RETR can be cut, reset or stalled
after a given number of bytes. Every command line it receives is appended to a log file, so a
test can check exactly what the client sent.

It listens on 127.0.0.1 only, on the port the system chooses, and prints "PORT <n>" on its
standard output once it accepts connections. It runs until it is killed.

Reply texts take backslash escapes (\\r, \\n, \\x00); a reply that does not end in a line feed
gets CR LF appended. Special replies: "@close" closes the control connection without a word,
"@silent" sends nothing and leaves the connection open.
"""
import argparse
import codecs
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, FileProducer
from pyftpdlib.servers import FTPServer

import peerlib


def unescape(text):
    return codecs.decode(text, "unicode_escape")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--root", required=True, help="directory served to the user")
    p.add_argument("--log", help="file that receives every command line, one per line")
    p.add_argument("--raw-log", help="file that receives every command line as received, "
                                     "in hexadecimal, one per line")
    p.add_argument("--encoding", default="utf8",
                   help="how command lines are decoded, names included (default: utf8)")
    p.add_argument("--user", default="velk")
    p.add_argument("--password", default="secret")
    p.add_argument("--greeting", help="raw greeting text (default: a one-line 220)")
    p.add_argument("--reply", action="append", default=[], metavar="CMD=TEXT",
                   help="answer the command word CMD (upper case) with TEXT instead of "
                        "serving it; CMD#N=TEXT applies to its N-th occurrence only")
    p.add_argument("--retr-reply", metavar="TEXT",
                   help="preliminary reply of RETR; {name} and {size} are filled in "
                        "(default: 150 with '(size bytes).')")
    p.add_argument("--masquerade", help="address announced in PASV replies")
    p.add_argument("--data-cut", type=int, metavar="N",
                   help="close the data connection normally after N bytes of RETR")
    p.add_argument("--data-cut-reply", default="226 Transfer complete.",
                   help="completion reply sent after --data-cut")
    p.add_argument("--data-reset", type=int, metavar="N",
                   help="reset the data connection (RST) after N bytes of RETR")
    p.add_argument("--data-stall", type=int, metavar="N",
                   help="stop sending after N bytes of RETR, keeping the connection open")
    p.add_argument("--data-endless", action="store_true",
                   help="after the file, send filler bytes on the data connection without end")
    p.add_argument("--data-fault-count", type=int, metavar="K",
                   help="apply the data faults to the first K transfers of RETR only")
    p.add_argument("--stall-seconds", type=float, default=3600.0,
                   help="how long --data-stall holds the data back")
    return p.parse_args(argv)


class Faults:
    """Process-wide fault settings; one client at a time is what the tests need."""

    def __init__(self, args):
        self.log = open(args.log, "a", encoding="utf-8", newline="") if args.log else None
        self.raw_log = open(args.raw_log, "a", encoding="ascii") if args.raw_log else None
        self.encoding = args.encoding
        self.greeting = unescape(args.greeting) if args.greeting is not None else None
        self.replies = {}
        for item in args.reply:
            cmd, sep, text = item.partition("=")
            if not sep:
                raise SystemExit("--reply needs CMD=TEXT: %r" % item)
            self.replies[cmd.upper()] = text if text.startswith("@") else unescape(text)
        self.retr_reply = unescape(args.retr_reply) if args.retr_reply is not None else None
        self.cut = args.data_cut
        self.cut_reply = unescape(args.data_cut_reply)
        self.reset = args.data_reset
        self.stall = args.data_stall
        self.stall_seconds = args.stall_seconds
        self.endless = args.data_endless
        self.fault_count = args.data_fault_count
        self.retrs = 0

    def active(self):
        return self.fault_count is None or self.retrs <= self.fault_count

    def record_raw(self, data):
        if self.raw_log:
            self.raw_log.write(data.hex() + "\n")
            self.raw_log.flush()

    def record(self, line):
        if self.log:
            self.log.write(line + "\n")
            self.log.flush()


FAULTS = None


class LimitedProducer(FileProducer):
    """Hands out the file in blocks that end exactly at the fault's byte offset; stops there
    when the fault ends the transfer (limit), pauses there when it stalls it (boundary)."""

    def __init__(self, file, type, limit, boundary):
        super().__init__(file, type)
        self.limit = limit
        self.boundary = boundary
        self.given = 0

    def more(self):
        size = self.buffer_size
        if self.limit is not None:
            size = min(size, self.limit - self.given)
            if size <= 0:
                return b""
        if self.boundary is not None and self.given < self.boundary:
            size = min(size, self.boundary - self.given)
        data = self.file.read(size)
        self.given += len(data)
        return data


class FaultyDTP(DTPHandler):
    _stalled = False
    _faulty = False

    def push_with_producer(self, producer):
        self._faulty = FAULTS.active()
        if isinstance(producer, FileProducer) and self._faulty:
            limit = None
            if FAULTS.cut is not None:
                limit = FAULTS.cut
            boundary = FAULTS.reset if FAULTS.reset is not None else FAULTS.stall
            producer = LimitedProducer(producer.file, producer.type, limit, boundary)
            if FAULTS.endless:
                producer = peerlib.EndlessProducer(producer, b"\x5a")
        super().push_with_producer(producer)

    def initiate_send(self):
        if self._faulty and FAULTS.reset is not None and self.tot_bytes_sent >= FAULTS.reset \
                and not self._closed:
            # Reset at once, while the client may still have data in flight: no FIN first.
            self.close()
            return
        if self._faulty and FAULTS.stall is not None and self.tot_bytes_sent >= FAULTS.stall:
            if not self._stalled:
                # Stop polling the socket altogether: the client sees an open, silent data
                # connection, and this process uses no CPU while it lasts.
                self._stalled = True
                self.del_channel()
                self.ioloop.call_later(FAULTS.stall_seconds, self._resume,
                                       _errback=self.handle_error)
            return
        super().initiate_send()

    def _resume(self):
        if not self._closed:
            self._faulty = False
            self.modify_ioloop_events(self.ioloop.WRITE)

    def close(self):
        if not self._closed and self._faulty and self.cmd == "RETR" and not self.receive:
            if FAULTS.reset is not None and self.tot_bytes_sent >= FAULTS.reset:
                peerlib.reset_on_close(self.socket)
                self._resp = ("426 Connection reset; transfer aborted.", logging.debug)
            elif FAULTS.cut is not None and self.tot_bytes_sent >= FAULTS.cut:
                self._resp = (FAULTS.cut_reply, logging.debug)
        super().close()


class FaultyHandler(FTPHandler):
    dtp_handler = FaultyDTP
    auth_failed_timeout = 0
    use_sendfile = False
    _counts = None

    def handle(self):
        self._counts = {}
        if FAULTS.greeting is None:
            return super().handle()
        self.on_connect()
        self._push_raw(FAULTS.greeting)

    def _push_raw(self, text):
        if text == "@close":
            self.close()
            return
        if text == "@silent":
            return
        if not text.endswith("\n"):
            text += "\r\n"
        self.push(text)

    def decode(self, data):
        # Called once per command line, with its bytes as they came (line end removed).
        FAULTS.record_raw(data)
        return data.decode(FAULTS.encoding, self.unicode_errors)

    def pre_process_command(self, line, cmd, arg):
        FAULTS.record(line)
        if cmd == "RETR":
            FAULTS.retrs += 1
        n = self._counts.get(cmd, 0) + 1
        self._counts[cmd] = n
        reply = FAULTS.replies.get("%s#%d" % (cmd, n), FAULTS.replies.get(cmd))
        if reply is None:
            return super().pre_process_command(line, cmd, arg)
        if cmd == "USER" and reply.startswith("230"):
            # A server that needs no password: the session is logged in after USER alone.
            self.username = FAULTS_USER
            self.authenticated = True
            self.fs = self.abstracted_fs(self.authorizer.get_home_dir(FAULTS_USER), self)
        self._push_raw(reply)

    def push_dtp_data(self, data, isproducer=False, file=None, cmd=None):
        if cmd == "RETR" and file is not None:
            # Announce the size the way most servers do, so that clients can show progress.
            size = os.fstat(file.fileno()).st_size - file.tell()
            name = os.path.basename(file.name)
            text = FAULTS.retr_reply
            if text is None:
                text = "150 Opening BINARY mode data connection for %s (%d bytes)." % (name, size)
            else:
                text = text.replace("{name}", name).replace("{size}", str(size))
            self._push_raw(text)
            if text == "@close":
                return
            if self.data_channel is not None:
                self.data_channel.file_obj = file
                try:
                    self.data_channel.push_with_producer(data)
                    if self.data_channel is not None:
                        self.data_channel.cmd = cmd
                        self.data_channel.close_when_done()
                except Exception:
                    self.data_channel.handle_error()
            else:
                self._out_dtp_queue = (data, isproducer, file, cmd)
            return
        super().push_dtp_data(data, isproducer, file, cmd)


FAULTS_USER = None


def main(argv):
    global FAULTS, FAULTS_USER
    peerlib.die_with_parent()
    args = parse_args(argv)
    FAULTS = Faults(args)
    FAULTS_USER = args.user
    logging.basicConfig(level=logging.ERROR)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root), perm="elr")
    FaultyHandler.authorizer = authorizer
    FaultyHandler.banner = "fake server ready."
    if args.masquerade:
        FaultyHandler.masquerade_address = args.masquerade

    server = FTPServer(("127.0.0.1", 0), FaultyHandler)
    server.max_cons = 16
    peerlib.announce_port(server.socket.getsockname()[1])
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    main(sys.argv[1:])
