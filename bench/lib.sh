# Pieces the benchmark scripts share; sourced by bench/run.sh,
# bench/verify.sh, bench/catalogue.sh and bench/frozen.sh at their start. The functions read, when called, the
# scripts' work, dbwork, pids, db_port, db_name, db_user, db_pass, ftp_user,
# ftp_pass and ftproot, and their log.

# Prints the first port of a block of COUNT ports free on every ADDRESS
# given (loopback addresses), or nothing when no block was found.
free_port_block() {  # count address...
    /usr/bin/python3 - "$@" <<'PY'
import random, socket, sys
count, addresses = int(sys.argv[1]), sys.argv[2:]
def free(p):
    for a in addresses:
        s = socket.socket()
        try:
            s.bind((a, p))
        except OSError:
            return False
        finally:
            s.close()
    return True
rnd = random.Random()
for _ in range(200):
    b = rnd.randrange(20000, 32000)
    if all(free(p) for p in range(b, b + count)):
        print(b)
        break
PY
}

# Stops the processes in pids, the last started first: TERM, then KILL
# after five seconds.
stop_started() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    for i in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$i" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$i" 2>/dev/null || true
    done
}

# Makes the work folders and arms their clean-up. $work (trees, the FTP root,
# logs) goes to BENCH_WORKDIR when set, otherwise to /dev/shm when it has more
# than SHM_KIB free, so that the shared disk's other traffic does not swamp
# the times, otherwise to TMPDIR; $dbwork (the database's files) stays on
# disk, where a commit costs what it costs. On exit the script's own
# stop_running (when it defines one) runs, then what pids holds is stopped
# and both folders are removed unless BENCH_KEEP=1. Sets work, dbwork and an
# empty pids.
make_work() {  # name shm-kib (-1: /dev/shm whatever it holds)
    local shm_free wdir=${BENCH_WORKDIR:-}
    if [[ -z $wdir ]]; then
        wdir=${TMPDIR:-/tmp}
        shm_free=$(df -k --output=avail /dev/shm 2>/dev/null | tail -n1 || echo 0)
        if [[ ${shm_free// /} -gt $2 ]]; then wdir=/dev/shm; fi
    fi
    work=$(mktemp -d "$wdir/vantor-$1.XXXXXX")
    dbwork=$(mktemp -d "${TMPDIR:-/tmp}/vantor-$1-db.XXXXXX")
    pids=()
    trap clean_work EXIT
    trap 'exit 130' INT TERM
}

clean_work() {
    local rc=$?
    trap - EXIT INT TERM
    if declare -F stop_running >/dev/null; then stop_running; fi
    stop_started
    if [[ ${BENCH_KEEP:-0} == 1 ]]; then log "kept $work and $dbwork"; else rm -rf "$work" "$dbwork"; fi
    exit "$rc"
}

# The ports and accounts of a run with FTP near and far and MariaDB, in a
# block free on 127.0.0.1 and 127.0.0.2: +0 FTP near, +1 FTP far, +2
# MariaDB, +3..+102 passive near, +103..+202 passive far.
pick_ports() {
    base=$(free_port_block 203 127.0.0.1 127.0.0.2)
    [[ -n $base ]] || { echo "no free port block found" >&2; exit 1; }
    ftp_near=$base ftp_far=$((base + 1)) db_port=$((base + 2))
    pasv_near="$((base + 3)):$((base + 102))"
    pasv_far_lo=$((base + 103)) pasv_far_hi=$((base + 202))
    ftp_user=bench ftp_pass=benchpw db_user=bench db_pass=benchpw db_name=vantor
}

# Two pure-ftpd daemons serve one account ($ftp_user) and folder ($ftproot,
# made here in $work): the near one on 127.0.0.1:$ftp_near announces
# 127.0.0.1 for passive data connections (range $pasv_near); the far one on
# 127.0.0.1:$ftp_far announces 127.0.0.2 (-P), where a relay is to listen on
# its control port and its whole passive range ($pasv_far_lo-$pasv_far_hi),
# so that control and data connections both cross the delay.
start_pureftpd_pair() {
    ftproot=$work/ftproot
    mkdir -p "$ftproot"
    chown 65534:65534 "$ftproot"
    printf '%s:%s:65534:65534::%s/./::::::::::::\n' "$ftp_user" "$(openssl passwd -6 "$ftp_pass")" "$ftproot" \
        >"$work/ftp.passwd"
    pure-pw mkdb "$work/ftp.pdb" -f "$work/ftp.passwd" >/dev/null
    log "starting pure-ftpd on 127.0.0.1:$ftp_near (near) and 127.0.0.1:$ftp_far (far, seen at 127.0.0.2)"
    pure-ftpd -l "puredb:$work/ftp.pdb" -S "127.0.0.1,$ftp_near" -E -H -A -p "$pasv_near" \
        -c 50 -C 50 -f none >"$work/ftp-near.log" 2>&1 &
    pids+=($!)
    pure-ftpd -l "puredb:$work/ftp.pdb" -S "127.0.0.1,$ftp_far" -E -H -A -p "$pasv_far_lo:$pasv_far_hi" \
        -P 127.0.0.2 -c 50 -C 50 -f none >"$work/ftp-far.log" 2>&1 &
    pids+=($!)
}

# Starts a private MariaDB on 127.0.0.1:$db_port with the benchmark's
# database and account (reached over TCP and over the local socket); its
# process joins pids, and db_pid holds it.
start_mariadb() {
    log "starting MariaDB on 127.0.0.1:$db_port"
    mkdir -p "$dbwork/data" "$dbwork/tmp"
    mariadb-install-db --no-defaults --datadir="$dbwork/data" --user=root \
        --auth-root-authentication-method=normal --skip-test-db >"$dbwork/install.log" 2>&1
    mariadbd --no-defaults --user=root --datadir="$dbwork/data" --tmpdir="$dbwork/tmp" \
        --socket="$dbwork/sock" --port="$db_port" --bind-address=127.0.0.1 --skip-name-resolve \
        --pid-file="$dbwork/pid" --log-error="$dbwork/error.log" \
        --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
        --innodb-buffer-pool-size=256M >/dev/null 2>&1 &
    db_pid=$!
    pids+=($db_pid)
    for _ in $(seq 150); do
        mariadb-admin --no-defaults --socket="$dbwork/sock" -uroot ping >/dev/null 2>&1 && break
        sleep 0.2
    done
    mariadb --no-defaults --socket="$dbwork/sock" -uroot -e "CREATE DATABASE $db_name;
      CREATE USER '$db_user'@'%' IDENTIFIED BY '$db_pass';
      CREATE USER '$db_user'@'localhost' IDENTIFIED BY '$db_pass';
      GRANT ALL ON $db_name.* TO '$db_user'@'%';
      GRANT ALL ON $db_name.* TO '$db_user'@'localhost';"
}

# Waits until something listens on ADDRESS:PORT.
wait_port() {
    for _ in $(seq 100); do
        ss -ltnH "sport = :$2" | grep -q "$1:$2" && return 0
        sleep 0.1
    done
    echo "nothing listens on $1:$2" >&2
    return 1
}

# Configuration file of vantor for one tree, table, remote folder and network;
# any further arguments are added as lines (the optional keys).
write_conf() {  # file tree table remote ftphost ftpport dbhost [line...]
    cat >"$1" <<CONF
# written by bench/$(basename "$0")
localroot = "$2"
remoteroot = "$4"
ftpserver = "$5"
ftpport = $6
ftpuser = "$ftp_user"
ftppass = "$ftp_pass"
dbserver = "$7"
dbport = $db_port
dbname = "$db_name"
dbtablename = "$3"
dbuser = "$db_user"
dbpass = "$db_pass"
CONF
    local l
    for l in "${@:8}"; do printf '%s\n' "$l" >>"$1"; done
    chmod 600 "$1"  # it holds passwords: vantor warns otherwise
}

reset_remote() {  # folder below the FTP root
    rm -rf "${ftproot:?}/$1"
    mkdir -p "$ftproot/$1"
    chown 65534:65534 "$ftproot/$1"
}
