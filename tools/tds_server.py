#!/usr/bin/python3
"""The update database on loopback, spoken as TDS 7.4: enough of a SQL Server for the launcher's
FreeTDS path (unixODBC, QtSql's ODBC driver), with scripted faults for the tests.

Usage: tds_server.py --user U --password P [--row PRODUCT CURRENT NEXT FILE SIZE]...
                     [--date YYYYMMDD] [--mode MODE] [--trace FILE] [--port N] [--keep-running]

Prints "PORT <n>" on one line once it listens on 127.0.0.1 (port 0: the system chooses), then
serves until killed or until its standard input closes (unless --keep-running). Rows are given as
for db_seed.py; CURRENT, NEXT and SIZE are integers or NULL. The server date is today's unless
--date gives it.

What it answers:
  pre-login         version 15.0, ENCRYPT_NOT_SUP: the session stays in clear text
  LOGIN7            user and password checked (error 18456 otherwise); the database must be one of
                    the catalogs 會員資料 and 軟體版本 (error 4060); then the environment changes
                    a client expects (database, collation, language, packet size) and LOGINACK
  SQL batch         "Select convert(char(8),getdate(),112) as day" -> one char(8) row;
                    "select * from pcvelka where 車種='P' and 目前版本='V'" -> the matching rows of
                    the table as the database script creates it (nvarchar and int columns), and
                    error 208 outside 軟體版本; "USE [catalog]"; anything else -> DONE alone
  RPC               (the ODBC layer's own statements through a server cursor) a return status
                    and DONEPROC, no cursor
  attention         DONE with the attention bit
--trace appends every SQL batch (CR, LF and backslash escaped), every login
("-- login USER DATABASE") and every RPC ("-- rpc PROCEDURE STATEMENT") to FILE, one per line,
UTF-8.

Modes (faults):
  normal        as above
  refuse-login  every login fails with error 18456, whatever the password
  silent        logins succeed; after that nothing is ever answered (but still traced)
  cut           the reply to the first pcvelka lookup stops half way and the connection closes
  wrong-type    pcvelka's 下一版本 comes back as a datetime column instead of int
  no-table      pcvelka does not exist (error 208), as after a DROP TABLE
  stream-open   the first request after the login (the ODBC layer's own, inside the connection's
                opening) is answered with a reply that never ends, one byte a second
  stream        the same for the first of the launcher's statements (the server date)
  trickle       every byte of every reply after the login comes 0.5 s after the one before
  trickle-queries  the same for the replies to the launcher's statements only
  silent-queries   the launcher's statements are never answered; the ODBC layer's are
In the stream and trickle modes an attention (a cancel) is answered only after the reply in
progress has gone out, and never after an endless one: the server is slow or hostile, not
cooperative. In the silent modes it is never answered.

Not implemented, because the launcher never needs it: encryption (TLS), SSPI and federated
logins, MARS, server cursors and prepared statements (their RPCs run nothing), bulk load,
transactions, any SQL beyond the statements above, result sets for the driver's catalog
procedures; no storage, no SQL parser. Any other packet type ends the connection.
"""
import argparse
import datetime
import re
import socket
import struct
import threading
import time

import peerlib

CATALOGS = ("會員資料", "軟體版本")
VERSION_CATALOG = "軟體版本"
SERVER_NAME = "PCVTDS"
MAX_MESSAGE = 1 << 20  # a request longer than this is not one the launcher sends
STREAM_GAP = 1.0   # seconds between the bytes of an endless reply
TRICKLE_GAP = 0.5  # seconds between the bytes of a trickled reply
PACKET_SIZE = 4096
# Latin1_General_CI_AS: LCID 0x0409, the usual flags, sort id 0.
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])

# Packet types.
SQL_BATCH, RPC, REPLY, ATTENTION, LOGIN7, PRELOGIN = 0x01, 0x03, 0x04, 0x06, 0x10, 0x12
RPC_NAMES = {1: "sp_cursor", 2: "sp_cursoropen", 3: "sp_cursorprepare", 4: "sp_cursorexecute",
             7: "sp_cursorfetch", 9: "sp_cursorclose", 10: "sp_executesql", 11: "sp_prepare",
             12: "sp_execute", 13: "sp_prepexec", 15: "sp_unprepare"}

DAY_SQL = re.compile(r"\s*select\s+convert\s*\(\s*char\s*\(\s*8\s*\)\s*,\s*getdate\s*\(\s*\)\s*,"
                     r"\s*112\s*\)\s+as\s+day\s*", re.I)
LOOKUP_SQL = re.compile(r"\s*select\s+\*\s+from\s+pcvelka\s+where\s+車種\s*=\s*'([^']*)'\s+and\s+"
                        r"目前版本\s*=\s*'([^']*)'\s*", re.I)
USE_SQL = re.compile(r"\s*use\s+(?:\[([^\]]*)\]|(\S+))\s*;?\s*", re.I)


class Closed(Exception):
    pass


class Connection:
    """A socket with the session's state beside it (logged in, endless reply sent)."""

    def __init__(self, sock):
        self.sock = sock
        self.logged_in = False
        self.streamed = False

    def __getattr__(self, name):
        return getattr(self.sock, name)


def bvarchar(text):
    data = text.encode("utf-16-le")
    return bytes([len(data) // 2]) + data


def usvarchar(text):
    data = text.encode("utf-16-le")
    return struct.pack("<H", len(data) // 2) + data


def token(kind, body):
    return bytes([kind]) + struct.pack("<H", len(body)) + body


def envchange(kind, new, old):
    if kind == 7:
        return token(0xE3, bytes([7, len(new)]) + new + bytes([len(old)]) + old)
    return token(0xE3, bytes([kind]) + bvarchar(new) + bvarchar(old))


def message(kind, number, state, severity, text):
    body = struct.pack("<iBB", number, state, severity) + usvarchar(text)
    return token(kind, body + bvarchar(SERVER_NAME) + bvarchar("") + struct.pack("<i", 1))


def info(number, text):
    return message(0xAB, number, 1, 0, text)


def error(number, severity, text, state=1):
    return message(0xAA, number, state, severity, text)


def done(status=0, command=0, rows=0):
    return b"\xFD" + struct.pack("<HHQ", status, command, rows)


DONE_ERROR, DONE_COUNT, DONE_ATTN = 0x02, 0x10, 0x20
SELECT_COMMAND = 0xC1

# Column types, as SQL Server describes them for the table of the database script.
NOT_NULL, NULLABLE = 0x0008, 0x0009  # updatable, and nullable where the column allows NULL


def nvarchar_column(name, chars, flags):
    return struct.pack("<IH", 0, flags) + bytes([0xE7]) + struct.pack("<H", chars * 2) + \
        COLLATION + bvarchar(name)


def char_column(name, size, flags):
    return struct.pack("<IH", 0, flags) + bytes([0xAF]) + struct.pack("<H", size) + \
        COLLATION + bvarchar(name)


def int_column(name, flags):
    # A nullable int goes out as INTN (a length byte before each value), a NOT NULL one as INT4.
    if flags & 1:
        return struct.pack("<IH", 0, flags) + bytes([0x26, 4]) + bvarchar(name)
    return struct.pack("<IH", 0, flags) + bytes([0x38]) + bvarchar(name)


def datetime_column(name, flags):
    return struct.pack("<IH", 0, flags) + bytes([0x6F, 8]) + bvarchar(name)


def nvarchar_value(value):
    if value is None:
        return b"\xFF\xFF"
    data = value.encode("utf-16-le")
    return struct.pack("<H", len(data)) + data


def intn_value(value):
    return b"\x00" if value is None else b"\x04" + struct.pack("<i", value)


def datetime_value(days):
    return b"\x00" if days is None else b"\x08" + struct.pack("<iI", days, 0)


class Server:
    def __init__(self, args):
        self.args = args
        self.rows = [self.parse_row(r) for r in args.row or []]
        self.trace_lock = threading.Lock()
        self.cut_done = False

    @staticmethod
    def parse_row(row):
        def number(text):
            return None if text == "NULL" else int(text)
        product, current, nxt, name, size = row
        return product, number(current), number(nxt), None if name == "NULL" else name, \
            number(size)

    def trace(self, line):
        if not self.args.trace:
            return
        line = line.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
        with self.trace_lock, open(self.args.trace, "a", encoding="utf-8",
                                   errors="backslashreplace") as f:
            f.write(line + "\n")

    # -- framing --------------------------------------------------------------------------------

    @staticmethod
    def read_exact(conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise Closed()
            data += chunk
        return data

    def read_message(self, conn):
        kind, payload = None, b""
        while True:
            header = self.read_exact(conn, 8)
            length = struct.unpack(">H", header[2:4])[0]
            if length < 8 or (kind is not None and header[0] != kind):
                raise Closed()
            kind = header[0]
            payload += self.read_exact(conn, length - 8)
            if len(payload) > MAX_MESSAGE:
                raise Closed()
            if header[1] & 0x01:  # end of message
                return kind, payload

    @staticmethod
    def packets(data, size=PACKET_SIZE):
        out, chunk, number = b"", size - 8, 1
        for start in range(0, max(len(data), 1), chunk):
            part = data[start:start + chunk]
            last = start + chunk >= len(data)
            out += struct.pack(">BBHHBB", REPLY, 1 if last else 0, len(part) + 8, 0,
                               number & 0xFF, 0) + part
            number += 1
        return out

    def reply(self, conn, data, own=False):
        # own: the reply to one of the launcher's statements rather than the ODBC layer's.
        whole = self.packets(data)
        mode = self.args.mode
        if conn.logged_in and (mode == "trickle" or (own and mode == "trickle-queries")):
            for i in range(len(whole)):
                time.sleep(TRICKLE_GAP)
                conn.sendall(whole[i:i + 1])
            return
        conn.sendall(whole)

    @staticmethod
    def stream_forever(conn):
        # Packets that never carry the end-of-message flag, full of informational messages, one
        # byte a second: each byte keeps a per-read time-out from firing.
        body = b"".join(info(5701, "still working %d" % i) for i in range(40))
        while True:
            part = body[:PACKET_SIZE - 8]
            data = struct.pack(">BBHHBB", REPLY, 0, len(part) + 8, 0, 1, 0) + part
            for i in range(len(data)):
                time.sleep(STREAM_GAP)
                conn.sendall(data[i:i + 1])

    def streams_now(self, conn, own):
        # Whether this request is the one that gets the endless reply.
        mode = self.args.mode
        if mode == "stream-open" or (mode == "stream" and own):
            if not conn.streamed:
                conn.streamed = True
                return True
        return False

    # -- the session ----------------------------------------------------------------------------

    def serve(self, conn):
        conn = Connection(conn)
        conn.settimeout(600)  # a client that went away without a word frees its thread
        database = None
        try:
            while True:
                kind, payload = self.read_message(conn)
                if kind == PRELOGIN:
                    self.reply(conn, self.prelogin())
                elif kind == LOGIN7:
                    database = self.login(conn, payload)
                    if database is None:
                        return
                elif database is None:
                    return  # nothing but the handshake is spoken before a login
                elif kind == ATTENTION:
                    if self.args.mode not in ("silent", "silent-queries"):
                        self.reply(conn, done(DONE_ATTN))
                elif kind == SQL_BATCH:
                    database = self.batch(conn, payload, database)
                    if database is None:
                        return
                elif kind == RPC:
                    self.rpc(conn, payload)
                else:
                    return
        except (Closed, OSError, UnicodeError, struct.error, IndexError):
            pass
        finally:
            conn.close()

    @staticmethod
    def prelogin():
        options = [(0, bytes([15, 0, 0x07, 0xD0, 0, 0])),  # version 15.0.2000
                   (1, b"\x02"),  # ENCRYPT_NOT_SUP
                   (2, b"\x00"), (3, b""), (4, b"\x00")]
        offset = 5 * len(options) + 1
        head, body = b"", b""
        for kind, value in options:
            head += struct.pack(">BHH", kind, offset + len(body), len(value))
            body += value
        return head + b"\xFF" + body

    def login(self, conn, payload):
        if len(payload) < 94:
            raise Closed()

        def field(index):
            offset, chars = struct.unpack_from("<HH", payload, 36 + 4 * index)
            if offset + 2 * chars > len(payload):
                raise Closed()
            return payload[offset:offset + 2 * chars]

        user = field(1).decode("utf-16-le")
        # The password travels with each byte's halves swapped and XORed with 0xA5.
        scrambled = bytes(((b ^ 0xA5) >> 4) | (((b ^ 0xA5) & 0x0F) << 4) for b in field(2))
        password = scrambled.decode("utf-16-le")
        database = field(8).decode("utf-16-le") or "master"
        self.trace("-- login %s %s" % (user, database))

        failed = error(18456, 14, "Login failed for user '%s'." % user)
        if self.args.mode == "refuse-login" or user != self.args.user or \
                password != self.args.password:
            self.reply(conn, failed + done(DONE_ERROR))
            return None
        if database not in CATALOGS:
            self.reply(conn, error(4060, 11, 'Cannot open database "%s" requested by the login. '
                                   "The login failed." % database) + failed + done(DONE_ERROR))
            return None
        ack = struct.pack("<B", 1) + struct.pack(">I", 0x74000004) + \
            bvarchar("Microsoft SQL Server") + bytes([15, 0, 0x07, 0xD0])
        self.reply(conn, envchange(1, database, "master") +
                   info(5701, "Changed database context to '%s'." % database) +
                   envchange(7, COLLATION, b"") + envchange(2, "us_english", "") +
                   info(5703, "Changed language setting to us_english.") +
                   token(0xAD, ack) + envchange(4, str(PACKET_SIZE), str(PACKET_SIZE)) + done())
        conn.logged_in = True
        return database

    @staticmethod
    def all_headers_length(payload):
        # TDS 7.2 and later put ALL_HEADERS first: its first four bytes are its length.
        skip = struct.unpack_from("<I", payload)[0] if len(payload) >= 4 else 0
        return 0 if skip < 4 or skip > len(payload) or skip % 2 else skip

    def batch(self, conn, payload, database):
        sql = payload[self.all_headers_length(payload):].decode("utf-16-le",
                                                                errors="surrogatepass")
        self.trace(sql)
        own = bool(DAY_SQL.fullmatch(sql) or LOOKUP_SQL.fullmatch(sql))
        if self.args.mode == "silent" or (own and self.args.mode == "silent-queries"):
            return database
        if self.streams_now(conn, own):
            self.stream_forever(conn)

        use = USE_SQL.fullmatch(sql)
        if use:
            name = use.group(1) if use.group(1) is not None else use.group(2)
            if name not in CATALOGS:
                self.reply(conn, error(911, 16, "Database '%s' does not exist. Make sure that the "
                                       "name is entered correctly." % name) + done(DONE_ERROR))
                return database
            self.reply(conn, envchange(1, name, database) +
                       info(5701, "Changed database context to '%s'." % name) + done())
            return name
        if DAY_SQL.fullmatch(sql):
            day = self.args.date or datetime.date.today().strftime("%Y%m%d")
            data = b"\x81" + struct.pack("<H", 1) + char_column("day", 8, NULLABLE)
            data += b"\xD1" + struct.pack("<H", len(day)) + day.encode("ascii")
            self.reply(conn, data + done(DONE_COUNT, SELECT_COMMAND, 1), own=True)
            return database
        lookup = LOOKUP_SQL.fullmatch(sql)
        if lookup:
            if database != VERSION_CATALOG or self.args.mode == "no-table":
                self.reply(conn, error(208, 16, "Invalid object name 'pcvelka'.") +
                           done(DONE_ERROR), own=True)
                return database
            text = lookup.group(2).strip()
            version = int(text) if re.fullmatch(r"[+-]?[0-9]{1,10}", text) else None
            if version is None or not -2**31 <= version < 2**31:
                self.reply(conn, error(245, 16, "Conversion failed when converting the varchar "
                                       "value '%s' to data type int." % lookup.group(2)) +
                           done(DONE_ERROR), own=True)
                return database
            data = self.version_rows(lookup.group(1), version)
            if self.args.mode == "cut" and not self.cut_done:
                self.cut_done = True
                whole = self.packets(data)
                conn.sendall(whole[:len(whole) // 2])
                conn.shutdown(socket.SHUT_RDWR)
                return None
            self.reply(conn, data, own=True)
            return database
        self.reply(conn, done())
        return database

    def rpc(self, conn, payload):
        # The ODBC layer runs its own statements through a server cursor when the statement
        # handle asks for a scrollable one; they set options and need no result.
        data = payload[self.all_headers_length(payload):]
        chars = struct.unpack_from("<H", data)[0]
        if chars == 0xFFFF:
            number = struct.unpack_from("<H", data, 2)[0]
            name, at = RPC_NAMES.get(number, "procedure %d" % number), 4
        else:
            name, at = data[2:2 + 2 * chars].decode("utf-16-le"), 2 + 2 * chars
        self.trace("-- rpc %s %s" % (name, self.rpc_text(data, at + 2)))
        if self.args.mode == "silent":
            return
        if self.streams_now(conn, False):
            self.stream_forever(conn)
        self.reply(conn, b"\x79" + struct.pack("<i", 0) + b"\xFE" + struct.pack("<HHQ", 0, 0, 0))

    @staticmethod
    def rpc_text(data, at):
        # The statement is the first text parameter; the integers before it are skipped.
        while at < len(data):
            at += 1 + 2 * data[at] + 1  # name, status
            kind = data[at]
            if kind == 0x26:
                at += 2 + 1 + data[at + 2]
            elif kind in (0x63, 0xE7):
                size = 4 if kind == 0x63 else 2
                at += 1 + size + 5
                if kind == 0x63:
                    at += 4  # NTEXT carries no table name here; its value has a 4-byte length
                    length = struct.unpack_from("<i", data, at - 4)[0]
                else:
                    length = struct.unpack_from("<H", data, at)[0]
                    at += 2
                return data[at:at + max(length, 0)].decode("utf-16-le", errors="replace")
            else:
                break
        return ""

    def version_rows(self, product, version):
        wrong = self.args.mode == "wrong-type"
        columns = [nvarchar_column("車種", 16, NOT_NULL), int_column("目前版本", NOT_NULL),
                   datetime_column("下一版本", NULLABLE) if wrong else
                   int_column("下一版本", NULLABLE),
                   nvarchar_column("檔名", 255, NULLABLE), int_column("檔案大小", NULLABLE)]
        data = b"\x81" + struct.pack("<H", len(columns)) + b"".join(columns)
        count = 0
        for row_product, current, nxt, name, size in self.rows:
            if row_product != product or current != version:
                continue
            count += 1
            data += b"\xD1" + nvarchar_value(row_product) + struct.pack("<i", current)
            data += datetime_value(nxt) if wrong else intn_value(nxt)
            data += nvarchar_value(name) + intn_value(size)
        return data + done(DONE_COUNT, SELECT_COMMAND, count)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--row", nargs=5, action="append",
                    metavar=("PRODUCT", "CURRENT", "NEXT", "FILE", "SIZE"))
    ap.add_argument("--date", help="the server date, YYYYMMDD (default: today)")
    ap.add_argument("--mode", default="normal",
                    choices=["normal", "refuse-login", "silent", "cut", "wrong-type",
                             "no-table", "stream-open", "stream", "trickle", "trickle-queries",
                             "silent-queries"])
    ap.add_argument("--trace")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--keep-running", action="store_true",
                    help="keep serving when standard input closes")
    args = ap.parse_args()
    if args.date and not re.fullmatch(r"[0-9]{8}", args.date):
        ap.error("--date takes eight digits")
    server = Server(args)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    if not args.keep_running:
        peerlib.exit_when_stdin_closes()
    peerlib.announce_port(listener.getsockname()[1])
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=server.serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
