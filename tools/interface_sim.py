#!/usr/bin/env python3
"""Diagnostic-interface simulator on a pseudo-terminal.

Opens a pty, links DIR/COM<port> to its slave, and answers the launcher's serial protocol the way
the diagnostic interface does. Point the launcher's [Interface] Devices at DIR.

Command line:
  python3 tools/interface_sim.py --devices DIR --port N [options]

  --devices DIR        folder that gets the link COM<N> (created if missing)
  --port N             COM number of the link (any number; the launcher searches 3..30)
  --device-type T      byte 2 of the 99-byte device-information block (default 5)
  --fast-link          answer only at 115200 baud, and only after the 127-byte pattern
                       0x01..0x7F, the probe 0x80 (answered with --probe-answer) and the confirm
                       0x00; then expect requests prefixed with 0x71 0x00
  --probe-answer TEXT  bytes sent back for the probe 0x80 (default "RD"; "" sends nothing)
  --delay MS           wait MS milliseconds before each reply
  --delay-count K      only the first K replies are delayed (default: every reply)
  --split MS           send the first 2 bytes of a reply, the rest MS milliseconds later
  --command-byte B     command byte of the reply (default 0x76 "v"; e.g. 0x56)
  --bad-checksum       send a wrong checksum
  --length N           announce N in the reply's length field (the 103 bytes go out unchanged)
  --garbage N          answer each request with N garbage bytes (0xA5) instead of a reply
  --noise HEX          send these bytes right before every reply (e.g. "00" or "ff ff")
  --silent             never answer anything
  --log FILE           append one line per chunk received: "<baud> <hex bytes>"

Prints "ready <slave device path>" on stdout once the link exists. Exits cleanly (link removed)
on SIGTERM or SIGINT, or when its parent process goes away.

Protocol facts it follows: the device-information request is 0x00 0x04 0x56 0x5A; the reply is
103 bytes: length 0x00 0x67, command "v" (0x76), the 99-byte block, checksum. Block byte 2 is the
device type; block byte 3 counts the requests answered so far (1, 2, ...), so that a test can tell
which request a reply belongs to. A message is the run of bytes that arrive without a pause of
more than 5 ms; the unit acts only on a message that starts with what it waits for (anything
else in front, a prefix it does not expect for instance, makes it ignore the message). A normal unit
listens at 57600 baud only; a change of baud resets the fast-link handshake.
"""
import argparse
import os
import pty
import select
import signal
import sys
import termios
import time
import tty

REQUEST = bytes([0x00, 0x04, 0x56, 0x5A])
PREFIX = bytes([0x71, 0x00])
PATTERN = bytes(range(1, 128))
PROBE = b"\x80"
CONFIRM = b"\x00"
GAP = 0.005
BLOCK_SIZE = 99

BAUDS = {getattr(termios, "B%d" % b): b for b in
         (9600, 19200, 38400, 57600, 115200, 230400) if hasattr(termios, "B%d" % b)}


def parse_args(argv):
    p = argparse.ArgumentParser(description="diagnostic-interface simulator on a pty")
    p.add_argument("--devices", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--device-type", type=lambda s: int(s, 0), default=5)
    p.add_argument("--fast-link", action="store_true")
    p.add_argument("--probe-answer", default="RD")
    p.add_argument("--delay", type=int, default=0)
    p.add_argument("--delay-count", type=int, default=-1)
    p.add_argument("--split", type=int, default=-1)
    p.add_argument("--command-byte", type=lambda s: int(s, 0), default=0x76)
    p.add_argument("--bad-checksum", action="store_true")
    p.add_argument("--length", type=int, default=-1)
    p.add_argument("--garbage", type=int, default=-1)
    p.add_argument("--noise", default="")
    p.add_argument("--silent", action="store_true")
    p.add_argument("--log")
    return p.parse_args(argv)


class Simulator:
    def __init__(self, args):
        self.args = args
        self.master, self.slave = pty.openpty()
        os.set_blocking(self.master, False)
        # Raw until the launcher opens the port: no echo of the requests back to it.
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)
        os.makedirs(args.devices, exist_ok=True)
        self.link = os.path.join(args.devices, "COM%d" % args.port)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(self.slave_path, self.link)
        self.log = open(args.log, "a", encoding="ascii") if args.log else None
        self.message = b""
        self.last_rx = 0.0
        self.baud = None
        self.stage = "pattern"  # fast-link handshake: pattern, probe, confirm, linked
        self.answered = 0
        self.outbox = []  # (due time, bytes), in order

    def close(self):
        try:
            if os.path.islink(self.link) and os.readlink(self.link) == self.slave_path:
                os.unlink(self.link)
        except OSError:
            pass
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        if self.log:
            self.log.close()

    def current_baud(self):
        # On Linux the master reports the slave's settings, which the launcher sets.
        try:
            attrs = termios.tcgetattr(self.master)
        except termios.error:
            return 0
        return BAUDS.get(attrs[5], attrs[5])

    def reply(self):
        a = self.args
        self.answered += 1
        if a.garbage >= 0:
            return bytes([0xA5]) * a.garbage
        block = bytearray((i * 7 + 1) & 0xFF for i in range(BLOCK_SIZE))
        block[2] = a.device_type & 0xFF
        block[3] = self.answered & 0xFF
        length = 3 + BLOCK_SIZE + 1
        announced = a.length if a.length >= 0 else length
        frame = bytearray([(announced >> 8) & 0xFF, announced & 0xFF, a.command_byte]) + block
        checksum = sum(frame) & 0xFF
        frame.append((checksum + 1) & 0xFF if a.bad_checksum else checksum)
        return bytes.fromhex(a.noise) + bytes(frame)

    def schedule(self, data):
        a = self.args
        now = time.monotonic()
        late = a.delay > 0 and (a.delay_count < 0 or self.answered <= a.delay_count)
        due = now + (a.delay / 1000.0 if late else 0)
        if a.split >= 0 and len(data) > 2:
            self.outbox.append((due, data[:2]))
            self.outbox.append((due + a.split / 1000.0, data[2:]))
        else:
            self.outbox.append((due, data))

    def expected(self, baud):
        """What the unit waits for next at this baud rate, or None when it listens to nothing."""
        a = self.args
        if a.silent:
            return None
        if not a.fast_link:
            return REQUEST if baud == 57600 else None
        if baud != 115200:
            return None
        return {"pattern": PATTERN, "probe": PROBE, "confirm": CONFIRM,
                "linked": PREFIX + REQUEST}[self.stage]

    def on_message(self, baud):
        """Acts on the start of the current message while it is what the unit waits for. The
        launcher's writes can reach us in one read (we are slower than it is), so a message
        may hold several of them."""
        a = self.args
        while True:
            want = self.expected(baud)
            if want is None or not self.message.startswith(want):
                return
            self.message = self.message[len(want):]
            if want == PATTERN:
                self.stage = "probe"
            elif want == PROBE:
                self.stage = "confirm"
                if a.probe_answer:
                    self.outbox.append((time.monotonic(), a.probe_answer.encode("latin-1")))
            elif want == CONFIRM:
                self.stage = "linked"
            else:
                self.schedule(self.reply())

    def on_input(self):
        try:
            data = os.read(self.master, 4096)
        except OSError:
            return
        if not data:
            return
        now = time.monotonic()
        baud = self.current_baud()
        if self.log:
            self.log.write("%d %s\n" % (baud, data.hex(" ")))
            self.log.flush()
        if baud != self.baud:
            self.baud = baud
            self.stage = "pattern"
            self.message = b""
        if now - self.last_rx > GAP:
            self.message = b""
        self.last_rx = now
        self.message += data
        if len(self.message) > 4096:
            self.message = self.message[-4096:]
        self.on_message(baud)

    def flush_due(self):
        now = time.monotonic()
        while self.outbox and self.outbox[0][0] <= now:
            _, data = self.outbox.pop(0)
            try:
                written = os.write(self.master, data)
            except BlockingIOError:
                written = 0
            except OSError:
                continue
            if written < len(data):
                # The port's input queue is full (nobody reads it): the rest goes out as it
                # drains, without blocking the unit.
                self.outbox.insert(0, (now + 0.005, data[written:]))
                return

    def run(self, stop):
        parent = os.getppid()
        print("ready %s" % self.slave_path, flush=True)
        while not stop[0]:
            if os.getppid() != parent:
                break
            timeout = 0.2
            if self.outbox:
                self.outbox.sort(key=lambda item: item[0])
                timeout = max(0.0, min(timeout, self.outbox[0][0] - time.monotonic()))
            try:
                readable, _, _ = select.select([self.master], [], [], timeout)
            except InterruptedError:
                continue
            if readable:
                self.on_input()
            self.flush_due()


def main(argv):
    args = parse_args(argv)
    stop = [False]

    def on_signal(_signum, _frame):
        stop[0] = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    sim = Simulator(args)
    try:
        sim.run(stop)
    finally:
        sim.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
