# Shared by the benchmark scripts (sourced, not run): the temporary folder, the measuring helper
# and vsftpd on loopback. The sourcing script sets $python (the interpreter) first.

# bench_init NAME: a fresh temporary folder in $work; at exit every process whose id is in
# $pids is killed and the folder removed.
bench_init() {
    work="$(mktemp -d "/tmp/$1.XXXXXX")"
    pids=()
    trap bench_cleanup EXIT
}
bench_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

free_port() { "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Runs a command; prints "<peak RSS KiB> <CPU seconds> <wall seconds> <exit status>".
measure() {
    "$python" - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
wall = time.monotonic() - t
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(r.ru_maxrss, "%.3f" % (r.ru_utime + r.ru_stime), "%.3f" % wall, rc)
PY
}

# start_vsftpd ROOT [CERT KEY]: vsftpd on loopback, anonymous and read-only, serving ROOT (its
# folders must be world-readable); with CERT and KEY (PEM) explicit FTPS only, TLS required for
# the login and the data, data sessions resumed. Sets $port and returns once the port accepts
# connections (or after 5 s).
start_vsftpd() {
    port="$(free_port)"
    local conf="$work/vsftpd-$port.conf"
    cat > "$conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$1
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=/var/run/vsftpd/empty
xferlog_enable=NO
CONF
    if [ $# -ge 3 ]; then
        cat >> "$conf" <<CONF
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=YES
ssl_request_cert=NO
ssl_sslv2=NO
ssl_sslv3=NO
ssl_tlsv1=NO
ssl_ciphers=HIGH
rsa_cert_file=$2
rsa_private_key_file=$3
CONF
    fi
    mkdir -p /var/run/vsftpd/empty
    /usr/sbin/vsftpd "$conf" > "$work/vsftpd-$port.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
    done
}
