#!/usr/bin/python3
"""The installed launcher run end to end, once as the Linux program and once as the program under
test (the Windows folder under Wine, or the Linux program again), in the same scenarios; then each
run is checked on its own and the two are compared.

Each run gets a folder of its own: the program installed into app/, the interface simulator on a
pseudo-terminal (for Wine: linked as $WINEPREFIX/dosdevices/com3, so that \\\\.\\COM3 is the
interface), SQLite catalogs (or the TDS test server through ODBC) offering version 13 over the
installed 12, and the scripted FTP server on loopback serving the update. The program runs with
--unattended in its folder, with a bound on its time. A run is right when the interface was found,
pc1.exe was started and waited for, the update was fetched whole (and its signature checked when a
key is configured), run and recorded in velka.ini, and the update file is gone; or, in the hostile
scenarios, when nothing was run or recorded. The two runs must then agree: DLrec.txt byte for byte,
except for the folder's spelling in the line that names the local file; the messages; velka.ini;
and the FTP commands the server received, in order.

Usage:
  tests/windows/e2e_wine.py [--windows DIR] [--linux DIR] [--build DIR] [--work DIR]
                            [--scenario NAME]... [--keep] [--list]

  --windows DIR   the Windows folder (dist/win64), run under wine64; without it the Linux program
                  plays both parts, which proves the harness and the scenarios
  --linux DIR     the installed Linux program (cmake --install BUILD --prefix DIR); default: BUILD
                  installed into WORK/linux
  --build DIR     the Linux build folder (default: build): signupdate, and the installation
  --work DIR      scratch folder (default: BUILD/e2e-wine); the Wine prefix is WORK/wineprefix,
                  made once (wineboot)
  --scenario NAME run only this scenario (repeatable); --list names them all

Prints one line per scenario and then "N passed, N failed"; exits 1 when anything failed, 2 when
it could not start. Every wait is bounded and every connection stays on 127.0.0.1.
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PY = "/usr/bin/python3"  # Debian's: it has pyftpdlib
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MINGW = "x86_64-w64-mingw32-g++-posix"

# Both update stand-ins (a shell script, a Windows program) are padded to this size, so that both
# programs log the same DownloadFileSize and fetch the same number of bytes.
UPDATE_SIZE = 300_000
COM_PORT = 3
PC1_WORK_S = 1.0  # how long the pc1.exe stand-ins work
INI = (b"; kept as it is\r\n[VERSION]\r\nSetup=1\r\nPc1=12\r\nInterface=1\r\n\r\n[Language]\r\n"
       b"Language=2\r\n")
INSTALLED_INI = INI.replace(b"Pc1=12", b"Pc1=13")
FOLDER = b"<FOLDER>"

LINUX_PC1 = b"""#!/bin/sh
# pc1.exe stand-in: notes its start and end, each with whether DLrec.txt exists already.
note() { if [ -e DLrec.txt ]; then echo "$1 log"; else echo "$1"; fi >> pc1.txt; }
note start
sleep 1
note end
"""

LINUX_UPDATE = b"""#!/bin/sh
# Update stand-in: proves it arrived whole, installs version 13, notes that it ran. It writes into
# the current directory, the launcher's folder: the launcher runs it from a private copy elsewhere.
here=$(pwd)
cp "$0" "$here/installed.bin"
printf 'pc1 version 13\\n' > "$here/installed.txt"
echo ran >> "$here/marker"
exit 7
"""


def log_lines(data):
    return [line.decode("cp950", "replace") for line in data.split(b"\r\n")]


def pad_script(script, size):
    n = 0
    while len(script) < size:
        script += b"# %010d padding\n" % n
        n += 1
    return script[:size]


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PgCluster:
    """A PostgreSQL cluster of its own on loopback, for the runs that reach the database through
    psqlODBC; started once, when a scenario first needs it."""
    BIN = "/usr/lib/postgresql/15/bin"

    def __init__(self, folder):
        self.folder = folder
        self.running = False
        if os.path.exists(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
        self.prefix = []
        if os.geteuid() == 0:
            # PostgreSQL refuses to run as root: the cluster belongs to its own system user.
            import pwd
            pw = pwd.getpwnam("postgres")
            os.chown(folder, pw.pw_uid, pw.pw_gid)
            self.prefix = ["runuser", "-u", "postgres", "--"]
        data = os.path.join(folder, "data")
        self._do([os.path.join(self.BIN, "initdb"), "-D", data, "-E", "UTF8",
                  "--locale=C.UTF-8", "--auth-local=trust", "--auth-host=scram-sha-256",
                  "-U", "postgres", "--no-sync"])
        self.port = free_port()
        self._do([os.path.join(self.BIN, "pg_ctl"), "-D", data, "-l",
                  os.path.join(folder, "log"), "-w", "-t", "60", "-o",
                  "-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off" % (self.port, folder),
                  "start"])
        self.running = True

    def _do(self, args):
        r = subprocess.run(self.prefix + args, capture_output=True, timeout=120, cwd="/")
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s" % (os.path.basename(args[0]),
                                                  (r.stdout + r.stderr).decode()[-300:]))

    def seed(self, rows):
        r = subprocess.run([PY, os.path.join(ROOT, "tools", "db_seed.py"), "postgres",
                            "--host", self.folder, "--port", str(self.port), "--owner", "velkadb",
                            "--owner-password", "velkapwd", *rows],
                           capture_output=True, timeout=120)
        if r.returncode != 0:
            raise RuntimeError("seeding PostgreSQL failed: %s" % r.stderr.decode()[-300:])

    def stop(self):
        if self.running:
            self.running = False
            subprocess.run(self.prefix + [os.path.join(self.BIN, "pg_ctl"), "-D",
                                          os.path.join(self.folder, "data"), "-m", "immediate",
                                          "-w", "stop"], capture_output=True, timeout=120,
                           cwd="/")
        shutil.rmtree(self.folder, ignore_errors=True)


def make_certificates(folder):
    """A test CA and a certificate for 127.0.0.1 that it signed, made once per harness run."""
    if os.path.exists(os.path.join(folder, "server.pem")):
        return folder
    os.makedirs(folder, exist_ok=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout"]

    def ssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, timeout=60,
                       capture_output=True)

    ssl("req", "-x509", *key, "ca.key", "-days", "2", "-subj", "/CN=e2e test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", "ca.pem")
    ssl("req", *key, "server.key", "-subj", "/CN=127.0.0.1", "-out", "server.csr")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    ssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "server.ext", "-out", "server.pem")
    # vsftpd reads them after dropping to its unprivileged user.
    os.chmod(folder, 0o755)
    os.chmod(os.path.join(folder, "server.key"), 0o604)
    return folder


class Vsftpd:
    """vsftpd on loopback insisting on TLS for the login and the data, anonymous and read-only
    from root (which its unprivileged user must be able to read)."""

    def __init__(self, folder, root, certs, timeout=20):
        os.makedirs(folder, exist_ok=True)
        self.log = os.path.join(folder, "vsftpd.log")
        for path in (root, *(os.path.join(d, n) for d, dirs, _ in os.walk(root) for n in dirs)):
            os.chmod(path, 0o755)
        for d, _, files in os.walk(root):
            for n in files:
                os.chmod(os.path.join(d, n), 0o644)
        self.port = free_port()
        config = os.path.join(folder, "vsftpd.conf")
        with open(config, "w") as f:
            f.write("listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=%d\n"
                    "background=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=%s\n"
                    "local_enable=NO\nwrite_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
                    "port_enable=YES\nconnect_from_port_20=NO\n"
                    "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                    "secure_chroot_dir=/var/run/vsftpd/empty\n"
                    "xferlog_enable=YES\nlog_ftp_protocol=YES\ndual_log_enable=NO\n"
                    "vsftpd_log_file=%s\nmax_per_ip=0\n"
                    "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                    "force_anon_data_ssl=YES\nrequire_ssl_reuse=YES\nssl_request_cert=NO\n"
                    "ssl_sslv2=NO\nssl_sslv3=NO\nssl_tlsv1=NO\nssl_ciphers=HIGH\n"
                    "rsa_cert_file=%s\nrsa_private_key_file=%s\n"
                    % (self.port, root, self.log, os.path.join(certs, "server.pem"),
                       os.path.join(certs, "server.key")))
        os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
        self.proc = subprocess.Popen(["/usr/sbin/vsftpd", config], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        import socket
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), 1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("vsftpd did not start on port %d" % self.port)

    def commands(self):
        """The commands it logged, in order, the password hidden as the other server does."""
        found = []
        for line in (read(self.log) or b"").decode("utf-8", "replace").splitlines():
            m = re.search(r'FTP command: Client "[^"]*", "(.*)"$', line)
            if m:
                found.append("PASS ****" if m.group(1).startswith("PASS") else m.group(1))
        return found

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)


class Peer:
    """A test peer (Linux program on loopback) that announces itself with one stdout line."""

    def __init__(self, args, prefix, stderr_path, timeout=30, env=None):
        self.err = open(stderr_path, "ab")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.err, cwd=ROOT, env=env, start_new_session=True)
        self.line = self._wait_line(prefix, timeout)

    def _wait_line(self, prefix, timeout):
        deadline = time.monotonic() + timeout
        buf = b""
        fd = self.proc.stdout.fileno()
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            buf += chunk
            for line in buf.split(b"\n")[:-1]:
                if line.startswith(prefix.encode()):
                    return line.decode()
        self.stop()
        raise RuntimeError("%s did not announce itself: %r" % (os.path.basename(
            self.proc.args[1]), buf[-200:]))

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)
        self.err.close()


@dataclass
class Scenario:
    name: str
    what: str
    file_name: str = "update.exe"
    ftp_mode: str = "normal"
    ftp_bytes: int = 0
    signed: bool = False
    database: str = "sqlite"  # sqlite, tds, postgres
    tds_mode: str = "normal"  # tools/tds_server.py --mode: how the TDS server misbehaves
    query_timeout: int = 0  # [Database] QueryTimeout; 0 leaves the default
    ftps: bool = False  # vsftpd with TLS for the login and the data, the test CA in CaFile
    expect: str = "installed"  # installed, refused, not-installed
    limit_s: int = 120
    min_elapsed_s: float = PC1_WORK_S
    max_elapsed_s: float = 0  # 0: only limit_s
    log_end: str = "等 100ms結束程式"  # DLrec.txt's last line (an error display ends it sooner)
    log_has: list = field(default_factory=list)  # lines DLrec.txt must hold
    out_has: list = field(default_factory=list)  # texts the messages must hold
    # (Linux text, Windows text): wordings allowed to differ, where one platform can measure what
    # the other cannot; the rest of the messages must match.
    out_alike: list = field(default_factory=list)


SCENARIOS = [
    Scenario("sqlite-ftp", "SQLite catalogs, plain FTP: the update installs",
             out_has=["] 軟體更新完成      \n"]),
    Scenario("sqlite-ftp-signed", "the update signed, the public key configured: checked, installs",
             signed=True, log_has=["FTP Download signature...", "Update signature verified"]),
    Scenario("tds-odbc-ftp", "the database on SQL Server through ODBC (FreeTDS, TDS test server)",
             database="tds", log_has=["SQL_GetServerTime=20310415"]),
    Scenario("sqlite-ftps", "explicit FTPS against vsftpd, its certificate from a test CA in "
             "CaFile", ftps=True),
    Scenario("postgres-odbc-ftp", "the database on PostgreSQL through ODBC (psqlODBC)",
             database="postgres"),
    Scenario("stalled-ftp", "the data connection stalls: the watchdog ends the attempt, the next "
             "one installs", ftp_mode="stall", ftp_bytes=100_000, limit_s=180, min_elapsed_s=10,
             log_has=["刪除更新檔下載不完全", "DLretry=1"]),
    Scenario("slow-ftp", "the server sends 100 kB a second: the window waits, the update "
             "installs", ftp_mode="slow", ftp_bytes=100_000, min_elapsed_s=3),
    Scenario("endless-ftp", "every transfer runs on past the file's size: never run, never "
             "recorded", ftp_mode="flood", expect="not-installed", limit_s=180,
             log_has=["更新檔下載不完全", "DLretry=3"], out_has=["FTP連線異常或忙線"]),
    Scenario("reserved-name-CON", "the catalog names the update CON: refused, nothing fetched",
             file_name="CON", expect="refused", out_has=["更新檔名不存在!"]),
    Scenario("stream-name-a:b", "the catalog names the update a:b: refused, nothing fetched",
             file_name="a:b", expect="refused", out_has=["更新檔名不存在!"]),
    # A reply without end holds FreeTDS's read for ever, and SQLCancel does not end it; Linux cuts
    # the driver's link, Windows (whose driver sockets cannot be found) gives the call up. Either
    # way the run ends within the bounds, login time-out 5 s + QueryTimeout 2 s + the 2 s margin
    # for the opening, and 2 s + 2 s for a statement, over pc1.exe's work and the program's start
    # (Wine's start takes about 5 s of the 12 s allowed for it).
    Scenario("tds-endless-opening", "the TDS server answers without end inside the connection's "
             "opening: an unreachable server, nothing fetched", database="tds",
             tds_mode="stream-open", query_timeout=2, expect="not-installed", limit_s=90,
             min_elapsed_s=PC1_WORK_S + 7, max_elapsed_s=PC1_WORK_S + 9 + 12,
             log_has=["無網路 或 網路連線異常"]),
    Scenario("tds-endless-reply", "the TDS server answers the server-date query without end: "
             "the time-out is shown, nothing fetched", database="tds", tds_mode="stream",
             query_timeout=2, expect="not-installed", limit_s=90,
             min_elapsed_s=PC1_WORK_S + 2, max_elapsed_s=PC1_WORK_S + 4 + 12,
             log_end="連接SQL Server", out_has=["Query timeout expired: "],
             out_alike=[("the server did not finish answering", "no complete answer from the "
                         "server")]),
]


class Role:
    """One way of running the installed program: the Linux program, or the Windows folder under
    Wine."""

    def __init__(self, kind, source, work, standins=None):
        self.kind = kind
        self.source = source
        self.work = work
        self.standins = standins  # Windows stand-ins: {"pc1": path, "update": path}
        self.wineprefix = os.path.join(work, "wineprefix")

    @property
    def windows(self):
        return self.kind == "windows"

    def label(self):
        return "Windows (Wine)" if self.windows else "Linux"

    def install(self, app):
        shutil.copytree(self.source, app, symlinks=True)
        pc1 = os.path.join(app, "pc1.exe")
        if self.windows:
            shutil.copyfile(self.standins["pc1"], pc1)
        else:
            with open(pc1, "wb") as f:
                f.write(LINUX_PC1)
        os.chmod(pc1, 0o755)

    def update_bytes(self):
        if self.windows:
            with open(self.standins["update"], "rb") as f:
                program = f.read()
            if len(program) > UPDATE_SIZE:
                raise RuntimeError("the update stand-in is larger than %d bytes" % UPDATE_SIZE)
            # Bytes after the image are not loaded: the program runs as it is.
            return program + b"\0" * (UPDATE_SIZE - len(program))
        return pad_script(LINUX_UPDATE, UPDATE_SIZE)

    def spell(self, path):
        """A path as this program's server.ini writes it."""
        return "Z:" + path.replace("/", "\\") if self.windows else path

    def folder_pattern(self, app):
        """The spellings of the program's folder, followed by a separator."""
        real = os.path.realpath(app)
        spellings = {app, real}
        if self.windows:
            spellings |= {"Z:" + s.replace("/", "\\") for s in (app, real)}
            spellings |= {"Z:" + s for s in (app, real)}
        alternatives = b"|".join(re.escape(s.encode()) for s in
                                 sorted(spellings, key=len, reverse=True))
        # Windows names ignore case; Linux names do not.
        flags = re.IGNORECASE if self.windows else 0
        return re.compile(b"^(?:" + alternatives + b")[\\\\/]", flags)

    def attach_port(self, devices, pty):
        if not self.windows:
            return  # the simulator linked devices/COM<n> itself
        link = os.path.join(self.wineprefix, "dosdevices", "com%d" % COM_PORT)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(pty, link)

    def detach_port(self, pty):
        # The pty goes with the simulator: no link to it is left for the next program.
        link = os.path.join(self.wineprefix, "dosdevices", "com%d" % COM_PORT)
        if self.windows and os.path.islink(link) and os.readlink(link) == pty:
            os.unlink(link)

    def env(self, display=False):
        env = dict(os.environ)
        for name in ("QT_QPA_PLATFORM",) if display else ("DISPLAY", "WAYLAND_DISPLAY",
                                                              "QT_QPA_PLATFORM"):
            env.pop(name, None)
        if self.windows:
            env["WINEPREFIX"] = self.wineprefix
            env["WINEDEBUG"] = os.environ.get("PCV_E2E_WINEDEBUG", "-all")
            env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        return env

    def command(self, display=False):
        if self.windows:
            # Wine drops QT_* variables: the platform goes on the command line.
            platform = [] if display else ["-platform", "offscreen"]
            return [WINE, "pc_velka_setup.exe", "--unattended", *platform]
        return ["./pc_velka_setup", "--unattended"]

    def after_timeout(self):
        if self.windows:
            subprocess.run([WINESERVER, "-k"], env=self.env(), timeout=30, check=False)


def run_bounded(args, cwd, env, limit_s, during=None):
    start = time.monotonic()
    proc = subprocess.Popen(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True)
    try:
        if during:
            during(proc)
        out, err = proc.communicate(timeout=max(1.0, limit_s - (time.monotonic() - start)))
        finished = True
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate(timeout=10)
        finished = False
    return finished, proc.returncode, out, err, time.monotonic() - start


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Run:
    """One scenario run by one role, and what it left behind."""

    def __init__(self, scenario, role, folder, tools):
        self.s = scenario
        self.role = role
        self.folder = folder
        self.tools = tools
        self.app = os.path.join(folder, "app")
        self.server = os.path.join(folder, "server")
        self.problems = []

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def seed(self, size):
        rows = ["--row", "tarn", "12", "13", "old.exe", "10",
                "--row", "tarn", "13", "13", self.s.file_name, str(size)]
        subprocess.run([PY, os.path.join(ROOT, "tools", "db_seed.py"), "sqlite",
                        os.path.join(self.server, "catalogs"), *rows],
                       check=True, timeout=60, stdout=subprocess.DEVNULL)
        return rows

    def prepare(self):
        if os.path.exists(self.folder):
            shutil.rmtree(self.folder)
        os.makedirs(os.path.join(self.server, "ftproot", "tarn"))
        self.role.install(self.app)
        with open(os.path.join(self.app, "velka.ini"), "wb") as f:
            f.write(INI)
        self.served = self.role.update_bytes()
        update = os.path.join(self.server, "ftproot", "tarn", self.s.file_name)
        with open(update, "wb") as f:
            f.write(self.served)
        keys = ""
        if self.s.signed:
            key = os.path.join(self.server, "publisher.pem")
            out = subprocess.run([self.tools["signupdate"], "keygen", key], check=True,
                                 timeout=60, capture_output=True, text=True).stdout
            keys = next(line[len("PublicKeys="):] for line in out.splitlines()
                        if line.startswith("PublicKeys="))
            subprocess.run([self.tools["signupdate"], "sign", key, "tarn", "13", update],
                           check=True, timeout=60, capture_output=True)
        rows = self.seed(len(self.served))
        return keys, rows

    def database_ini(self, peers, rows):
        if self.s.database == "postgres":
            pg = self.tools["postgres"]()
            pg.seed(rows)
            return ("Backend=odbc\r\nDriver=PostgreSQL Unicode\r\nPort=%d\r\nUser=velkadb\r\n"
                    "Password=velkapwd\r\n" % pg.port)
        if self.s.database == "tds":
            tds = Peer([PY, os.path.join(ROOT, "tools", "tds_server.py"), "--user", "velkadb",
                        "--password", "velkapwd", "--date", "20310415",
                        "--trace", self.path("tds-trace.txt"), "--mode", self.s.tds_mode,
                        *rows],
                       "PORT ", self.path("tds-server.log"))
            peers.append(tds)
            return ("Backend=odbc\r\nDriver=FreeTDS\r\nPort=%s\r\nUser=velkadb\r\n"
                    "Password=velkapwd\r\n" % tds.line.split()[1])
        return "Backend=sqlite\r\nDirectory=%s\r\n" % self.role.spell(
            os.path.join(self.server, "catalogs"))

    def run(self, display=False, during=None):
        """display: the program's windows go to $DISPLAY; during(process) runs while it does."""
        peers = []
        try:
            keys, rows = self.prepare()
            database = self.database_ini(peers, rows)
            if self.s.query_timeout:
                database += "QueryTimeout=%d\r\n" % self.s.query_timeout
            if self.s.ftps:
                certs = self.tools["certificates"]()
                ftp = Vsftpd(self.path("vsftpd"), os.path.join(self.server, "ftproot"), certs)
                peers.append(ftp)
                ftp_ini = ("Port=%d\r\nUser=anonymous\r\nPassword=velkaftp\r\nSecurity=tls\r\n"
                           "CaFile=%s\r\n" % (ftp.port, self.role.spell(
                               os.path.join(certs, "ca.pem"))))
            else:
                ftp = Peer([PY, os.path.join(ROOT, "tools", "ftp_update_server.py"),
                            "--root", os.path.join(self.server, "ftproot"), "--user", "velk",
                            "--password", "velkaftp", "--mode", self.s.ftp_mode,
                            "--bytes", str(self.s.ftp_bytes),
                            "--trace", self.path("ftp-trace.txt")],
                           "PORT ", self.path("ftp-server.log"))
                peers.append(ftp)
                ftp_ini = ("Port=%s\r\nUser=velk\r\nPassword=velkaftp\r\n"
                           % ftp.line.split()[1])
            devices = self.path("devices")
            sim = Peer([PY, os.path.join(ROOT, "tools", "interface_sim.py"), "--devices", devices,
                        "--port", str(COM_PORT), "--device-type", "5",
                        "--log", self.path("interface.log")],
                       "ready ", self.path("interface-sim.log"))
            peers.append(sim)
            self.pty = sim.line.split(" ", 1)[1]
            self.role.attach_port(devices, self.pty)
            ini = ("[Server]\r\nHost=127.0.0.1\r\n[Database]\r\n" + database + "[Ftp]\r\n" +
                   ftp_ini)
            if not self.role.windows:
                ini += "[Interface]\r\nDevices=%s\r\n" % devices
            if keys:
                ini += "[Update]\r\nPublicKeys=%s\r\n" % keys
            with open(os.path.join(self.app, "server.ini"), "wb") as f:
                f.write(ini.encode())
            (self.finished, self.rc, self.out, self.err,
             self.elapsed) = run_bounded(self.role.command(display), self.app,
                                         self.role.env(display), self.s.limit_s, during)
            if not self.finished:
                self.role.after_timeout()
        finally:
            if getattr(self, "pty", None):
                self.role.detach_port(self.pty)
            for peer in reversed(peers):
                if isinstance(peer, Vsftpd):
                    with open(self.path("ftp-trace.txt"), "w") as f:
                        f.write("".join(c + "\n" for c in peer.commands()))
                peer.stop()
        with open(self.path("stdout.txt"), "wb") as f:
            f.write(self.out)
        with open(self.path("stderr.txt"), "wb") as f:
            f.write(self.err)
        self.collect()
        self.check()

    def collect(self):
        self.log = read(os.path.join(self.app, "DLrec.txt"))
        trace = read(self.path("ftp-trace.txt")) or b""
        self.trace = trace.decode("utf-8", "replace").splitlines()
        self.interface = (read(self.path("interface.log")) or b"").decode("ascii", "replace")

    def normal_log(self):
        """DLrec.txt with the folder in the local file's line spelt <FOLDER>/."""
        if self.log is None:
            return None
        pattern = self.role.folder_pattern(self.app)
        lines = self.log.split(b"\r\n")
        return b"\r\n".join(pattern.sub(FOLDER + b"/", line, count=1) for line in lines)

    def normal_out(self):
        pattern = self.role.folder_pattern(self.app)
        return b"\n".join(pattern.sub(FOLDER + b"/", line) for line in self.out.split(b"\n"))

    def expect(self, ok, what):
        if not ok:
            self.problems.append(what)

    def check(self):
        s = self.s
        out = self.out.decode("utf-8", "replace")
        self.expect(self.finished, "did not end within %d s" % s.limit_s)
        self.expect(self.rc == 0, "exit code %s" % self.rc)
        # The interface: found on the pty, asked for its device information.
        self.expect("Interface install fail" not in out, "no interface found")
        self.expect("00 04 56 5a" in self.interface.lower(),
                    "the interface never got the device-information request")
        # pc1.exe: started, and waited for before the update check opened the log.
        pc1 = read(os.path.join(self.app, "pc1.txt"))
        self.expect(pc1 == b"start\nend\n", "pc1.exe: %r (want start and end, no log yet)" % pc1)
        self.expect(self.elapsed >= s.min_elapsed_s,
                    "ended after %.1f s, before %.1f s" % (self.elapsed, s.min_elapsed_s))
        if s.max_elapsed_s:
            self.expect(self.elapsed <= s.max_elapsed_s,
                        "ended after %.1f s, later than %.1f s" % (self.elapsed, s.max_elapsed_s))
        self.expect("Could not create Process." not in out, "pc1.exe could not be started")
        log = log_lines(self.log) if self.log is not None else []
        self.expect(self.log is not None and self.log.startswith(b"Ver:2.4\r\n")
                    and self.log.endswith((s.log_end + "\r\n").encode("cp950")),
                    "DLrec.txt missing or not whole")
        for line in s.log_has:
            self.expect(line in log, "DLrec.txt lacks %r" % line)
        for text in s.out_has:
            self.expect(text in out, "the messages lack %r" % text)
        if s.ftps:
            self.expect(self.trace[:1] == ["AUTH TLS"] and "PROT P" in self.trace,
                        "FTPS: the session was not protected: %s" % "|".join(self.trace))
        update = os.path.join(self.app, s.file_name)
        retr = "RETR " + s.file_name
        if s.expect == "installed":
            self.expect(retr in self.trace, "the update was never fetched")
            self.expect(read(os.path.join(self.app, "installed.bin")) == self.served,
                        "the update that ran is not the file served")
            self.expect(read(os.path.join(self.app, "installed.txt")) == b"pc1 version 13\n",
                        "the update installed nothing")
            self.expect(read(os.path.join(self.app, "marker")) == b"ran\n",
                        "the update did not run exactly once")
            self.expect(read(os.path.join(self.app, "velka.ini")) == INSTALLED_INI,
                        "velka.ini does not record version 13 (or lost bytes)")
            self.expect(not os.path.lexists(update), "the update file was left behind")
            self.expect("修改 velka.ini 版本" in log, "the log does not record the new version")
            if s.signed:
                self.expect(retr + ".sig" in self.trace, "the signature was never fetched")
        else:
            if s.expect == "refused":
                self.expect(not any(t.startswith("RETR") for t in self.trace),
                            "a refused name was fetched")
            self.expect(read(os.path.join(self.app, "velka.ini")) == INI, "velka.ini changed")
            self.expect(read(os.path.join(self.app, "marker")) is None, "an update ran")
            self.expect("軟體更新完成" not in out, "an update was reported complete")
            if os.sep not in s.file_name:
                self.expect(not os.path.lexists(update), "a partial update file was left")


def compare(reference, subject):
    problems = []
    a, b = reference.normal_log(), subject.normal_log()
    if a != b:
        la, lb = (log_lines(x) if x is not None else [] for x in (a, b))
        first = next((i for i in range(max(len(la), len(lb)))
                      if i >= len(la) or i >= len(lb) or la[i] != lb[i]), None)
        problems.append("DLrec.txt differs at line %s: %r / %r" % (
            None if first is None else first + 1,
            la[first] if first is not None and first < len(la) else None,
            lb[first] if first is not None and first < len(lb) else None))
    subject_out = subject.normal_out()
    for linux_text, windows_text in reference.s.out_alike:
        if subject.role.windows:
            subject_out = subject_out.replace(windows_text.encode(), linux_text.encode())
    if reference.normal_out() != subject_out:
        problems.append("the messages differ: %r / %r" % (
            reference.out[-300:].decode("utf-8", "replace"),
            subject.out[-300:].decode("utf-8", "replace")))
    ini = os.path.join("app", "velka.ini")
    if read(reference.path(ini)) != read(subject.path(ini)):
        problems.append("velka.ini differs")
    if reference.trace != subject.trace:
        problems.append("the FTP commands differ: %s / %s" % ("|".join(reference.trace),
                                                              "|".join(subject.trace)))
    return problems


def screenshot(role, work, tools, png):
    """Runs the slow-server update with the program's windows on $DISPLAY and grabs the screen
    while the download window shows the transfer; the run is checked as any other."""
    if not os.environ.get("DISPLAY"):
        return ["no DISPLAY: run under xvfb-run (tests/windows/screenshot.sh)"]
    s = Scenario("screenshot", "the download window on the display, captured during a slow "
                 "transfer", ftp_mode="slow", ftp_bytes=15_000, limit_s=240, min_elapsed_s=10)
    run = Run(s, role, os.path.join(work, "runs", "screenshot"), tools)
    taken = []

    def grab(proc):
        partial = os.path.join(run.app, s.file_name)
        deadline = time.monotonic() + 90
        size = 0
        # A fifth of the file: the window is up and its progress bar has moved.
        while time.monotonic() < deadline and proc.poll() is None and size < UPDATE_SIZE // 5:
            time.sleep(0.2)
            size = os.path.getsize(partial) if os.path.exists(partial) else 0
        if os.path.exists(png):
            os.unlink(png)
        r = subprocess.run(["import", "-window", "root", png], timeout=60, capture_output=True)
        taken.append((r.returncode, size, r.stderr.decode(errors="replace").strip()))

    run.run(display=True, during=grab)
    problems = run.problems
    rc, size, err = taken[0] if taken else (None, 0, "never tried")
    if rc != 0 or not os.path.isfile(png):
        problems.append("import failed: %s" % err)
    else:
        # An empty screen is one colour; the window's pictures and controls are many.
        colours = subprocess.run(["identify", "-format", "%k", png], timeout=60,
                                 capture_output=True, text=True).stdout.strip()
        if not colours.isdigit() or int(colours) < 50:
            problems.append("the screenshot shows no window (%s colours)" % colours)
        if size < UPDATE_SIZE // 5:
            problems.append("taken before the transfer was under way (%d bytes)" % size)
    return problems


def build_standins(work):
    """The Windows stand-ins, cross-compiled once (again when their source changes)."""
    out = os.path.join(work, "standins")
    os.makedirs(out, exist_ok=True)
    made = {}
    # The stand-ins are window programs, as the launcher starts them; the probe prints.
    for name, source, kind in (("pc1", "pc1_standin.cpp", ["-mwindows"]),
                               ("update", "update_standin.cpp", ["-mwindows"]),
                               ("com_probe", "com_probe.cpp", [])):
        src = os.path.join(HERE, source)
        exe = os.path.join(out, name + ".exe")
        if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
            subprocess.run([MINGW, "-std=c++17", "-Os", "-s", "-static", *kind, "-Wall",
                            "-Wextra", "-Werror", "-o", exe, src], check=True, timeout=300)
        made[name] = exe
    return made


def wine_checks(role):
    """What the Windows runs rest on, proved under Wine without the launcher: the simulator's pty
    linked as COM3 answers the Win32 serial calls, and the stand-ins do what the checks expect.
    Yields (name, what, problems)."""
    folder = os.path.join(role.work, "runs", "wine-checks")
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    env = role.env()

    def wine(args, limit_s=60):
        return run_bounded([WINE, *args], folder, env, limit_s)

    problems = []
    sim = None
    try:
        sim = Peer([PY, os.path.join(ROOT, "tools", "interface_sim.py"), "--devices",
                    os.path.join(folder, "devices"), "--port", str(COM_PORT), "--device-type", "5",
                    "--log", os.path.join(folder, "interface.log")],
                   "ready ", os.path.join(folder, "interface-sim.log"))
        role.attach_port(None, sim.line.split(" ", 1)[1])
        finished, rc, out, _, _ = wine([role.standins["com_probe"], str(COM_PORT)])
        # A console program under Wine writes CR LF.
        if not finished or rc != 0 or out.replace(b"\r\n", b"\n") != b"device type 5\n":
            problems.append("the probe on COM%d: exit %s, %r" % (COM_PORT, rc, out))
    except RuntimeError as e:
        problems.append(str(e))
    finally:
        if sim:
            role.detach_port(sim.line.split(" ", 1)[1])
            sim.stop()
    yield ("wine-com3", "the simulator's pty as COM%d answers the Win32 serial calls under Wine"
           % COM_PORT, problems)

    problems = []
    shutil.copyfile(role.standins["pc1"], os.path.join(folder, "pc1.exe"))
    finished, rc, _, _, elapsed = wine(["pc1.exe"])
    if not finished or elapsed < PC1_WORK_S:
        problems.append("pc1.exe: ended after %.1f s" % elapsed)
    with open(os.path.join(folder, "DLrec.txt"), "wb"):
        pass
    wine(["pc1.exe"])
    pc1 = read(os.path.join(folder, "pc1.txt"))
    if pc1 != b"start\nend\nstart log\nend log\n":
        problems.append("pc1.exe noted %r" % pc1)
    served = role.update_bytes()
    with open(os.path.join(folder, "update.exe"), "wb") as f:
        f.write(served)
    finished, rc, _, _, _ = wine(["update.exe"])
    if rc != 7:
        problems.append("the update stand-in: exit %s" % rc)
    if read(os.path.join(folder, "installed.bin")) != served:
        problems.append("the update stand-in did not copy itself whole")
    if (read(os.path.join(folder, "installed.txt")) != b"pc1 version 13\n"
            or read(os.path.join(folder, "marker")) != b"ran\n"):
        problems.append("the update stand-in installed nothing")
    yield ("wine-standins", "the Windows stand-ins under Wine: pc1.exe works for %.0f s and "
           "sees the log, the padded update runs and copies itself whole" % PC1_WORK_S, problems)


def ensure_wineprefix(role):
    marker = os.path.join(role.wineprefix, "system.reg")
    if not os.path.exists(marker):
        print("== making the Wine prefix %s (wineboot, once)" % role.wineprefix, flush=True)
        os.makedirs(role.wineprefix, exist_ok=True)
        subprocess.run([WINE, "wineboot", "-i"], env=role.env(), timeout=300, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=role.env(), timeout=120, check=False)


def install_linux(build, dest):
    if os.path.exists(dest):
        shutil.rmtree(dest)
    subprocess.run(["cmake", "--install", build, "--prefix", dest], check=True, timeout=300,
                   stdout=subprocess.DEVNULL)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--windows")
    ap.add_argument("--linux")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--work")
    ap.add_argument("--scenario", action="append")
    ap.add_argument("--keep", action="store_true", help="keep every run's folder")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--screenshot", metavar="PNG",
                    help="instead of the scenarios: the download window of the program under "
                    "test, on $DISPLAY, saved as PNG")
    args = ap.parse_args(argv)
    # Killed or interrupted, the clean-up below still runs: no server, cluster or Wine left.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if args.list:
        for s in SCENARIOS:
            print("%-20s %s" % (s.name, s.what))
        return 0
    build = os.path.abspath(args.build)
    work = os.path.abspath(args.work or os.path.join(build, "e2e-wine"))
    os.makedirs(work, exist_ok=True)
    chosen = SCENARIOS
    if args.scenario:
        names = {s.name for s in SCENARIOS}
        unknown = [n for n in args.scenario if n not in names]
        if unknown:
            print("unknown scenario: %s (see --list)" % ", ".join(unknown), file=sys.stderr)
            return 2
        chosen = [s for s in SCENARIOS if s.name in args.scenario]
    cluster = []
    # The test CA and its certificate are made afresh on each run (they last two days).
    shutil.rmtree(os.path.join(work, "certificates"), ignore_errors=True)

    def postgres():
        if not cluster:
            cluster.append(PgCluster(os.path.join(work, "postgres")))
        return cluster[0]

    tools = {"signupdate": os.path.join(build, "tools", "signupdate"), "postgres": postgres,
             "certificates": lambda: make_certificates(os.path.join(work, "certificates"))}
    if not os.access(tools["signupdate"], os.X_OK):
        print("no %s: build the Linux program first" % tools["signupdate"], file=sys.stderr)
        return 2
    linux = os.path.abspath(args.linux) if args.linux else os.path.join(work, "linux")
    if not args.linux:
        install_linux(build, linux)
    reference = Role("linux", linux, work)
    have_wine = os.access(WINE, os.X_OK) and shutil.which(MINGW) is not None
    if args.windows:
        folder = os.path.abspath(args.windows)
        if not os.path.isfile(os.path.join(folder, "pc_velka_setup.exe")):
            print("no pc_velka_setup.exe in %s" % folder, file=sys.stderr)
            return 2
        if not have_wine:
            print("no %s or no %s" % (WINE, MINGW), file=sys.stderr)
            return 2
        subject = Role("windows", folder, work, build_standins(work))
        ensure_wineprefix(subject)
    else:
        subject = Role("linux", linux, work)
    # Under Wine, the ground the Windows runs stand on; checked whenever Wine is there.
    wine_role = subject if subject.windows else (
        Role("windows", None, work, build_standins(work)) if have_wine else None)
    if args.screenshot:
        png = os.path.abspath(args.screenshot)
        problems = screenshot(subject, work, tools, png)
        if subject.windows:
            subprocess.run([WINESERVER, "-k"], env=subject.env(), timeout=30, check=False)
        print("%s  screenshot of %s's download window: %s" % (
            "FAIL" if problems else "PASS", subject.label(), png))
        for p in problems:
            print("      " + p)
        print("%d passed, %d failed" % ((0, 1) if problems else (1, 0)))
        return 1 if problems else 0
    print("== %s against %s, %d scenarios" % (subject.label(), reference.label(), len(chosen)),
          flush=True)
    passed = failed = 0
    try:
        if wine_role and not args.scenario:
            ensure_wineprefix(wine_role)
            for name, what, problems in wine_checks(wine_role):
                print("%s  %-20s %s" % ("FAIL" if problems else "PASS", name, what), flush=True)
                for p in problems:
                    print("      " + p)
                failed += bool(problems)
                passed += not problems
        for s in chosen:
            runs = []
            problems = []
            for part, role in (("reference", reference), ("subject", subject)):
                run = Run(s, role, os.path.join(work, "runs", s.name, part), tools)
                who = "%s (%s)" % (part, role.label())
                try:
                    run.run()
                except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                    problems.append("%s: could not run: %s" % (who, e))
                    break
                problems += ["%s: %s" % (who, p) for p in run.problems]
                runs.append(run)
            if len(runs) == 2:
                problems += compare(*runs)
            times = " ".join("%.1f s" % r.elapsed for r in runs)
            if problems:
                failed += 1
                print("FAIL  %-20s %s (%s)" % (s.name, s.what, times))
                for p in problems:
                    print("      " + p)
            else:
                passed += 1
                print("PASS  %-20s %s (%s)" % (s.name, s.what, times), flush=True)
                if not args.keep:
                    shutil.rmtree(os.path.join(work, "runs", s.name), ignore_errors=True)
    finally:
        if wine_role:
            subprocess.run([WINESERVER, "-k"], env=wine_role.env(), timeout=30, check=False)
        if cluster:
            cluster[0].stop()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
