"""What the scripted loopback servers in tools/ have in common: how they announce their port,
how they end when their test does, and the data-connection faults two FTP servers share."""
import os
import signal
import socket
import struct
import sys
import threading


def announce_port(port):
    # The tests, the demo and the benchmarks wait for exactly this line before they connect.
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()


def watch_stdin_then_exit():
    # The test holds our stdin; when it goes away (even killed), so do we.
    try:
        while sys.stdin.buffer.read(1):
            pass
    finally:
        os._exit(0)


def exit_when_stdin_closes():
    threading.Thread(target=watch_stdin_then_exit, daemon=True).start()


def die_with_parent():
    # A test that crashes or is killed must not leave its server behind.
    try:
        import ctypes
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def reset_on_close(sock):
    # Linger 0: close() sends RST instead of FIN, as a broken line or a crashed server would.
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass


class EndlessProducer:
    """The file's own blocks first, then filler for ever: a server that does not know when to
    stop."""

    def __init__(self, inner, filler):
        self.inner = inner
        self.filler = filler * 65536

    def more(self):
        data = self.inner.more() if self.inner is not None else b""
        if data:
            return data
        self.inner = None
        return self.filler
