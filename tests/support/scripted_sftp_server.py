# An SFTP server that answers from a script, for scripted_sftp.cpp.
#
#   python3 scripted_sftp_server.py ROOT HOST_KEY USER PASSWORD SCRIPT LOG
#
# Files live under ROOT, which the account sees as "/" (also its login
# folder). SCRIPT is re-read before each request; each of its lines is
# "ID<TAB>REQUEST<TAB>PATH<TAB>ANSWER<TAB>DELAY_MS", PATH "*" for any path,
# ANSWER one of ok, no_such_file, permission_denied, failure, unsupported,
# drop (the connection is cut at once), stall (no answer ever). Each line is
# used once, those for the exact path first. Every request is appended to LOG
# as "SESSION<TAB>TEXT" ("+" when a connection starts, "-" when it ends).
# Prints "listening PORT" once it accepts connections on 127.0.0.1.
import logging
import os
import posixpath
import socket
import sys
import threading
import time

import paramiko
from paramiko.sftp import (SFTP_FAILURE, SFTP_NO_SUCH_FILE, SFTP_OK,
                           SFTP_OP_UNSUPPORTED, SFTP_PERMISSION_DENIED)

root, host_key, user, password, script_path, log_path = sys.argv[1:7]
logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

STATUS = {
    "no_such_file": SFTP_NO_SUCH_FILE,
    "permission_denied": SFTP_PERMISSION_DENIED,
    "failure": SFTP_FAILURE,
    "unsupported": SFTP_OP_UNSUPPORTED,
}
lock = threading.Lock()
used = set()
log_file = open(log_path, "a", encoding="utf-8", errors="surrogateescape")


def log(session, text):
    with lock:
        log_file.write("%d\t%s\n" % (session, text))
        log_file.flush()


def next_answer(request, path):
    """The first unused script line for request and path, or None."""
    try:
        with open(script_path, encoding="utf-8", errors="surrogateescape") as f:
            lines = [l.rstrip("\n").split("\t") for l in f if l.strip()]
    except FileNotFoundError:
        return None
    with lock:
        for wanted in (path, "*"):
            for ident, req, p, answer, delay in lines:
                if ident not in used and req == request and p == wanted:
                    used.add(ident)
                    return answer, int(delay)
    return None


class Scripted(Exception):
    """Answers the request with this status instead of doing it."""

    def __init__(self, code):
        super().__init__(code)
        self.code = code


class Dropped(Exception):
    """The connection is gone: answer nothing."""


class Connection:
    def __init__(self, session, sock):
        self.session = session
        self.sock = sock
        self.transport = None
        # Once the connection is cut, requests still buffered are not served;
        # once the client has left, the handles paramiko closes are not logged.
        self.cut = False
        self.ending = False

    def gate(self, request, path, detail=""):
        if self.cut:
            raise Dropped()
        log(self.session, "%s %s%s" % (request, path, detail))
        found = next_answer(request, path)
        if not found:
            return
        answer, delay = found
        time.sleep(delay / 1000)
        if answer == "ok":
            return
        if answer == "drop":
            self.cut = True
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            raise Dropped()
        if answer == "stall":
            while self.transport.is_active():
                time.sleep(0.05)
            self.cut = True
            raise Dropped()
        raise Scripted(STATUS[answer])


def local(path):
    return os.path.join(root, posixpath.normpath(posixpath.join("/", path)).lstrip("/"))


class Handle(paramiko.SFTPHandle):
    def __init__(self, conn, path, f):
        super().__init__()
        self.conn, self.path, self.f = conn, path, f

    def write(self, offset, data):
        self.conn.gate("write", self.path, " %d %d" % (offset, len(data)))
        self.f.seek(offset)
        self.f.write(data)
        self.f.flush()
        return SFTP_OK

    def read(self, offset, length):
        self.conn.gate("read", self.path, " %d %d" % (offset, length))
        self.f.seek(offset)
        return self.f.read(length)

    def close(self):
        if not self.conn.ending:
            self.conn.gate("close", self.path)
        self.f.close()

    def stat(self):
        return paramiko.SFTPAttributes.from_stat(os.fstat(self.f.fileno()))


def errno_status(e):
    return paramiko.SFTPServer.convert_errno(e.errno)


class Files(paramiko.SFTPServerInterface):
    def __init__(self, server, *args, **kwargs):
        super().__init__(server, *args, **kwargs)
        self.conn = server.conn

    def canonicalize(self, path):
        self.conn.gate("realpath", path)
        return posixpath.normpath(posixpath.join("/", path))

    def open(self, path, flags, attr):
        names = [n for bit, n in ((os.O_WRONLY, "write"), (os.O_RDWR, "read,write"),
                                  (os.O_CREAT, "create"), (os.O_TRUNC, "truncate"),
                                  (os.O_APPEND, "append"), (os.O_EXCL, "excl")) if flags & bit]
        self.conn.gate("open", path, " " + (",".join(names) or "read"))
        mode = "r+b" if flags & os.O_RDWR else "wb" if flags & os.O_WRONLY else "rb"
        try:
            fd = os.open(local(path), flags, 0o644)
            return Handle(self.conn, path, os.fdopen(fd, mode))
        except OSError as e:
            return errno_status(e)

    def list_folder(self, path):
        self.conn.gate("opendir", path)
        try:
            out = []
            for name in os.listdir(local(path)):
                a = paramiko.SFTPAttributes.from_stat(os.lstat(os.path.join(local(path), name)))
                a.filename = name
                out.append(a)
            return out
        except OSError as e:
            return errno_status(e)

    def _path_call(self, request, path, call):
        self.conn.gate(request, path)
        try:
            result = call(local(path))
            return paramiko.SFTPAttributes.from_stat(result) if isinstance(result, os.stat_result) else SFTP_OK
        except OSError as e:
            return errno_status(e)

    def stat(self, path):
        return self._path_call("stat", path, os.stat)

    def lstat(self, path):
        return self._path_call("lstat", path, os.lstat)

    def remove(self, path):
        return self._path_call("remove", path, os.remove)

    def mkdir(self, path, attr):
        return self._path_call("mkdir", path, lambda p: os.mkdir(p, 0o755))

    def rmdir(self, path):
        return self._path_call("rmdir", path, os.rmdir)

    def chattr(self, path, attr):
        return self._path_call("setstat", path, lambda p: None)

    def rename(self, oldpath, newpath):
        self.conn.gate("rename", oldpath, " " + newpath)
        if os.path.exists(local(newpath)):
            return SFTP_FAILURE  # as OpenSSH: SFTP v3 renames never replace
        try:
            os.rename(local(oldpath), local(newpath))
            return SFTP_OK
        except OSError as e:
            return errno_status(e)


class SftpServer(paramiko.SFTPServer):
    def __init__(self, channel, name, server, sftp_si, *args, **kwargs):
        self.conn = server.conn
        super().__init__(channel, name, server, sftp_si, *args, **kwargs)

    def _process(self, t, request_number, msg):
        try:
            super()._process(t, request_number, msg)
        except Scripted as s:
            self._send_status(request_number, s.code)
        except Dropped:
            pass

    def finish_subsystem(self):
        self.conn.ending = True
        super().finish_subsystem()


class Login(paramiko.ServerInterface):
    def __init__(self, conn):
        self.conn = conn

    def get_allowed_auths(self, username):
        return "password"

    def check_auth_password(self, username, given):
        ok = username == user and given == password
        log(self.conn.session, "password %s %s" % (username, "ok" if ok else "refused"))
        return paramiko.AUTH_SUCCESSFUL if ok else paramiko.AUTH_FAILED

    def check_channel_request(self, kind, chanid):
        if kind == "session":
            return paramiko.OPEN_SUCCEEDED
        return paramiko.OPEN_FAILED_ADMINISTRATIVELY_PROHIBITED


key = paramiko.Ed25519Key(filename=host_key)


def serve(session, sock):
    conn = Connection(session, sock)
    log(session, "+")
    try:
        t = paramiko.Transport(sock)
        conn.transport = t
        t.add_server_key(key)
        t.set_subsystem_handler("sftp", SftpServer, Files)
        t.start_server(server=Login(conn))
        t.join()
    except Exception as e:  # a client that leaves during the handshake
        logging.warning("session %d: %s", session, e)
    finally:
        sock.close()
        log(session, "-")


listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
print("listening %d" % listener.getsockname()[1], flush=True)
count = 0
while True:
    s, _ = listener.accept()
    threading.Thread(target=serve, args=(count, s), daemon=True).start()
    count += 1
