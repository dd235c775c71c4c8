#include "support/ftp_daemons.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vt {

namespace {

using namespace std::chrono_literals;

// Reads a whole FTP reply (every line up to "NNN ") from fd, or "" after the
// deadline or when the peer closes.
std::string read_reply(int fd, std::chrono::steady_clock::time_point end)
{
    std::string all, line;
    char c;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        int ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count());
        if (poll(&p, 1, ms > 0 ? ms : 0) <= 0)
            return "";
        if (read(fd, &c, 1) != 1)
            return "";
        line += c;
        if (c == '\n') {
            all += line;
            bool last = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                        std::isdigit(static_cast<unsigned char>(line[1])) &&
                        std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ';
            line.clear();
            if (last)
                return all;
        }
    }
    return "";
}

std::string faketime_library()
{
    for (const char *p : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/faketime/libfaketime.so.1"})
        if (access(p, R_OK) == 0)
            return p;
    throw std::runtime_error("libfaketime is not installed (apt-get install libfaketime)");
}

const char *pyftpd_script = R"PY(
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

(port, root, user, password, low, high, idle, delay,
 host, tls, certificate, control_required, data_required, per_ip) = sys.argv[1:15]
# DEBUG logs every command and reply (a password as "PASS ******").
logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                    format="%(asctime)s %(message)s")
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")

if tls == "no":
    Base = FTPHandler
else:
    from pyftpdlib.handlers import TLS_DTPHandler
    from pyftpdlib.handlers import TLS_FTPHandler as Base

    class DataHandler(TLS_DTPHandler):
        # A client may start a data connection's TLS handshake before it
        # sends STOR; pyftpdlib takes input on a data connection that nothing
        # asked for yet as a hang-up and closes it.
        def readable(self):
            return self._ssl_accepting or super().readable()

    Base.dtp_handler = DataHandler
    Base.certfile = certificate
    Base.tls_control_required = control_required == "1"
    Base.tls_data_required = data_required == "1"
    # Clients resume the control connection's TLS session on each data
    # connection; OpenSSL refuses that without a session id context.
    Base.get_ssl_context().set_session_id(b"vantor-test")


class Handler(Base):
    if tls == "implicit":
        # TLS from the first byte: the handshake starts on accept, and the
        # greeting waits in the output buffer until it is done.
        def handle(self):
            self.secure_connection(self.ssl_context)
            super().handle()


Handler.authorizer = authorizer
Handler.passive_ports = range(int(low), int(high) + 1)
Handler.banner = "vantor test server ready."
Handler.auth_failed_timeout = float(delay)
if float(idle) > 0:
    Handler.timeout = float(idle)
server = FTPServer((host, int(port)), Handler)
server.max_cons_per_ip = int(per_ip)
server.serve_forever()
)PY";


// Waits until host:port accepts a connection: all a client can see of a
// server that speaks TLS from the first byte without a TLS client.
void wait_for_listener(const std::string &host, int port, int limit_ms, Process *server)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (server && !server->running())
            throw std::runtime_error("the FTP server ended before it listened");
        int s = connect_to(host, port);
        if (s >= 0) {
            close(s);
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    throw std::runtime_error("nothing listens on " + host + ":" + std::to_string(port));
}

// The password as a "$6$" SHA-512 crypt hash, which every server here
// checks at once.
std::string sha512_crypt(const std::string &pass)
{
    Spawn hash;
    hash.program = "openssl";
    hash.args = {"passwd", "-6", pass};
    Outcome h = run(hash);
    if (h.status != 0 || h.out.rfind("$6$", 0) != 0)
        throw std::runtime_error("openssl passwd -6 failed: " + describe(h));
    return h.out.substr(0, h.out.find('\n'));
}

// "no", "explicit" or "implicit", else throws naming the server.
void check_tls_mode(const std::string &tls, const char *server)
{
    if (tls != "no" && tls != "explicit" && tls != "implicit")
        throw std::runtime_error(std::string(server) + ": tls must be no, explicit or implicit, not " + tls);
}

// A program unpacked by fetch-ftpds.sh, or an exception that says how to get it.
std::string unpacked(const std::string &rel)
{
    const std::string p = ftpds_dir() + "/" + rel;
    if (access(p.c_str(), X_OK) != 0)
        throw std::runtime_error(p + " is missing: run `bash tests/support/fetch-ftpds.sh " + ftpds_dir() +
                                 "` (or point VANTOR_FTPDS at a folder where it ran)");
    return p;
}

// The folder of the unpacked shared libraries (usr/lib/<triplet>).
std::string unpacked_libraries()
{
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(ftpds_dir() + "/usr/lib", ec)) {
        const std::string name = e.path().filename().string();
        if (e.is_directory() && name.ends_with("-linux-gnu"))
            return e.path().string();
    }
    return ftpds_dir() + "/usr/lib";
}

// Caps OpenSSL at TLS 1.2 for the program that reads this as OPENSSL_CONF.
const char *tls12_openssl_conf = R"(openssl_conf = init
[init]
ssl_conf = ssl
[ssl]
system_default = system
[system]
MaxProtocol = TLSv1.2
)";

std::string joined(const std::vector<std::string> &lines)
{
    std::string t;
    for (const std::string &l : lines)
        t += l + "\n";
    return t;
}

}  // namespace

std::string ftpds_dir()
{
    if (const char *d = getenv("VANTOR_FTPDS"); d && *d)
        return d;
    return VANTOR_FTPDS_DIR;
}

std::string wait_for_ftp_greeting(const std::string &host, int port, int limit_ms, Process *server)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (server && !server->running())
            throw std::runtime_error("the FTP server ended before its greeting");
        int s = connect_to(host, port);
        if (s >= 0) {
            std::string g = read_reply(s, end);
            if (g.rfind("220", 0) == 0) {
                // Leave politely so the server does not log a broken session.
                send(s, "QUIT\r\n", 6, MSG_NOSIGNAL);
                read_reply(s, std::chrono::steady_clock::now() + 1s);
                close(s);
                return g;
            }
            close(s);
        }
        std::this_thread::sleep_for(20ms);
    }
    throw std::runtime_error("no FTP greeting on " + host + ":" + std::to_string(port));
}

FtpDaemon::~FtpDaemon()
{
    stop();
}

std::string FtpDaemon::path(const std::string &rel) const
{
    return root_ + "/" + rel;
}

void FtpDaemon::give(const std::string &rel) const
{
    if (!owned_)
        return;
    Credentials c = unprivileged();
    if (lchown(path(rel).c_str(), c.uid, c.gid) != 0)
        throw std::runtime_error("chown " + path(rel) + ": " + std::strerror(errno));
}

void FtpDaemon::make_dir(const std::string &rel) const
{
    if (owned_)
        make_dirs_for(root_, rel, unprivileged());
    else
        make_dirs(path(rel));
}

std::string FtpDaemon::log() const
{
    try {
        return read_file(log_file_);
    } catch (const std::exception &) {
        return "";
    }
}

void FtpDaemon::stop()
{
    if (proc_) {
        proc_->stop(2000ms);
        proc_.reset();
    }
    dir_.reset();
}

void FtpDaemon::start(const std::function<Spawn(int port)> &make)
{
    std::string why;
    for (int attempt = 0; attempt < 4; ++attempt) {
        port_ = free_port();
        Spawn how = make(port_);
        how.log_file = log_file_;
        how.timeout = std::chrono::hours(24);
        proc_ = std::make_unique<Process>(how);
        try {
            if (implicit_tls_)
                wait_for_listener(host(), port_, 20000, proc_.get());
            else
                wait_for_ftp_greeting(host(), port_, 20000, proc_.get());
            return;
        } catch (const std::exception &e) {
            why = e.what();
            proc_->stop(1000ms);
            proc_.reset();
        }
    }
    throw std::runtime_error("FTP server did not start: " + why + "\n" + log());
}

PyFtpd::PyFtpd(const Options &o)
{
    dir_ = std::make_unique<TempDir>("vantor-pyftpd");
    user_ = o.user;
    pass_ = o.pass;
    root_ = dir_->path() + "/root";
    log_file_ = dir_->path() + "/server.log";
    owned_ = o.unprivileged;
    host_ = o.host;
    implicit_tls_ = o.tls == "implicit";
    if (o.tls != "no" && o.tls != "explicit" && !implicit_tls_)
        throw std::runtime_error("PyFtpd: tls must be no, explicit or implicit, not " + o.tls);
    const std::string certificate =
        o.tls == "no" ? "-" : o.certificate.empty() ? test_certificates().server.pem : o.certificate;
    if (o.unprivileged && !running_as_root())
        throw std::runtime_error("an unprivileged pyftpdlib needs the tests to run as root");
    make_dirs(root_);
    give("");
    const std::string script = dir_->path() + "/server.py";
    write_file(script, pyftpd_script);
    chmod(script.c_str(), 0644);
    const int low = free_port_range(16);
    start([&](int port) {
        Spawn s;
        s.program = "/usr/bin/python3";
        s.args = {script,
                  std::to_string(port),
                  root_,
                  user_,
                  pass_,
                  std::to_string(low),
                  std::to_string(low + 15),
                  std::to_string(o.idle_timeout),
                  std::to_string(o.auth_failed_delay),
                  host_,
                  o.tls,
                  certificate,
                  o.tls_control_required ? "1" : "0",
                  o.tls_data_required ? "1" : "0",
                  std::to_string(o.max_cons_per_ip)};
        // Debian's modules only: no user site, no pyenv.
        s.env = {{"PYTHONNOUSERSITE", "1"}, {"PYTHONDONTWRITEBYTECODE", "1"}};
        s.unset_env = {"PYTHONPATH", "PYTHONHOME"};
        if (o.unprivileged)
            s.as = unprivileged();
        return s;
    });
}

PureFtpd::PureFtpd(const Options &o)
{
    if (!running_as_root())
        throw std::runtime_error("pure-ftpd needs the tests to run as root");
    dir_ = std::make_unique<TempDir>("vantor-pureftpd");
    user_ = o.user;
    pass_ = o.pass;
    root_ = dir_->path() + "/root";
    log_file_ = dir_->path() + "/server.log";
    owned_ = true;
    make_dirs(root_);
    give("");
    const std::string d = dir_->path();

    // A SHA-512 crypt hash logs in at once; pure-pw's own argon2id takes
    // seconds per login.
    const std::string crypted = sha512_crypt(pass_);
    Credentials c = unprivileged();
    // login:password:uid:gid:gecos:home (/./ chroots there):then 12 limits
    write_file(d + "/pureftpd.passwd", user_ + ":" + crypted + ":" + std::to_string(c.uid) + ":" +
                                           std::to_string(c.gid) + "::" + root_ +
                                           "/./::::::::::::\n");
    Spawn mk;
    mk.program = "pure-pw";
    mk.args = {"mkdb", d + "/pureftpd.pdb", "-f", d + "/pureftpd.passwd"};
    Outcome m = run(mk);
    if (m.status != 0)
        throw std::runtime_error("pure-pw mkdb failed: " + describe(m));

    const int low = free_port_range(16);
    start([&](int port) {
        Spawn s;
        s.program = "pure-ftpd";
        s.args = {"-S", "127.0.0.1," + std::to_string(port),
                  "-E",  // no anonymous logins
                  "-H",  // no name resolution
                  "-A",  // chroot everyone
                  "-p", std::to_string(low) + ":" + std::to_string(low + 15),
                  "-l", "puredb:" + d + "/pureftpd.pdb",
                  "-f", "none",  // no syslog
                  "-O", "clf:" + d + "/transfers.log",
                  "-g", d + "/pure-ftpd.pid"};
        if (o.idle_seconds > 0) {
            s.args.push_back("-I");
            s.args.push_back("1");
            std::ostringstream rate;
            rate << "+0 x" << 60.0 / o.idle_seconds;
            s.env = {{"LD_PRELOAD", faketime_library()}, {"FAKETIME", rate.str()}};
        }
        if (o.tls > 0) {
            s.args.insert(s.args.end(),
                          {"-Y", std::to_string(o.tls), "-2",
                           o.certificate.empty() ? test_certificates().server.pem : o.certificate});
        }
        s.args.insert(s.args.end(), o.extra_args.begin(), o.extra_args.end());
        return s;
    });
}

UnpackedFtpd::UnpackedFtpd(const Options &o, const std::string &name, const char *kind)
{
    if (!running_as_root())
        throw std::runtime_error(name + " needs the tests to run as root");
    check_tls_mode(o.tls, kind);
    program_ = unpacked("usr/sbin/" + name);
    dir_ = std::make_unique<TempDir>("vantor-" + name);
    const std::string d = dir_->path();
    user_ = o.user;
    pass_ = o.pass;
    root_ = d + "/root";
    log_file_ = d + "/server.log";
    conf_file_ = d + "/" + name + ".conf";
    owned_ = true;
    implicit_tls_ = o.tls == "implicit";
    make_dirs(root_);
    give("");
    certificate_ = o.certificate.empty() ? test_certificates().server.pem : o.certificate;
}

void UnpackedFtpd::start_configured(const Options &o, const std::function<std::string(int port, int low)> &text,
                                    const Spawn &how)
{
    const int low = free_port_range(16);
    start([&](int port) {
        write_file(conf_file_, text(port, low) + joined(o.config));
        return how;
    });
}

VsFtpd::VsFtpd(const Options &o) : UnpackedFtpd(o, "vsftpd", "VsFtpd")
{
    const std::string d = dir_->path();
    // An empty folder that nobody can write, for vsftpd's unprivileged helper.
    make_dirs(d + "/empty");

    // The account: pam_userdb checks a Berkeley DB of user/password pairs,
    // which Debian's Python writes (PATH.db for dbm.ndbm's PATH).
    Spawn db;
    db.program = "/usr/bin/python3";
    db.args = {"-c",
               "import dbm.ndbm, sys\n"
               "d = dbm.ndbm.open(sys.argv[1], 'n')\n"
               "d[sys.argv[2].encode()] = sys.argv[3].encode()\n"
               "d.close()\n",
               d + "/users", user_, pass_};
    db.env = {{"PYTHONNOUSERSITE", "1"}};
    db.unset_env = {"PYTHONPATH", "PYTHONHOME"};
    Outcome w = run(db);
    if (w.status != 0)
        throw std::runtime_error("writing vsftpd's user database failed: " + describe(w));
    make_dirs(d + "/pam");
    write_file(d + "/pam/vantor",
               "auth required pam_userdb.so db=" + d + "/users\naccount required pam_permit.so\n");
    write_file(d + "/openssl.cnf", tls12_openssl_conf);

    Spawn s;
    s.program = program_;
    s.args = {conf_file_};
    s.env = {{"LD_PRELOAD", VANTOR_VSFTPD_SHIM},
             {"VANTOR_PAM_DIR", d + "/pam"},
             {"VANTOR_GUEST", "nobody"},
             {"VANTOR_GUEST_HOME", root_},
             {"OPENSSL_CONF", d + "/openssl.cnf"}};
    start_configured(o, [&](int port, int low) {
        std::string conf = "listen=YES\n"
                           "listen_address=127.0.0.1\n"
                           "listen_port=" + std::to_string(port) + "\n"
                           "background=NO\n"
                           "anonymous_enable=NO\n"
                           "local_enable=YES\n"
                           "write_enable=YES\n"
                           "local_umask=022\n"
                           // Every login is nobody, in its home: root().
                           "guest_enable=YES\n"
                           "guest_username=nobody\n"
                           "virtual_use_local_privs=YES\n"
                           "chroot_local_user=YES\n"
                           "allow_writeable_chroot=YES\n"
                           "pam_service_name=vantor\n"
                           "secure_chroot_dir=" + d + "/empty\n"
                           // No namespaces or seccomp filter: private and simple.
                           "seccomp_sandbox=NO\n"
                           "isolate=NO\n"
                           "isolate_network=NO\n"
                           "pasv_min_port=" + std::to_string(low) + "\n"
                           "pasv_max_port=" + std::to_string(low + 15) + "\n"
                           "dirmessage_enable=NO\n"
                           "xferlog_enable=YES\n"
                           "xferlog_std_format=NO\n"
                           "log_ftp_protocol=YES\n"
                           "vsftpd_log_file=" + log_file_ + "\n";
        if (o.tls != "no") {
            conf += "ssl_enable=YES\n"
                    "ssl_ciphers=HIGH\n"  // the built-in DES-CBC3-SHA is gone from OpenSSL 3
                    "rsa_cert_file=" + certificate_ + "\n"
                    "rsa_private_key_file=" + certificate_ + "\n"
                    "force_local_logins_ssl=YES\n"
                    "force_local_data_ssl=YES\n";
            conf += std::string("require_ssl_reuse=") + (o.require_ssl_reuse ? "YES" : "NO") + "\n";
            if (implicit_tls_)
                conf += "implicit_ssl=YES\n";
        }
        return conf;
    }, s);
}

ProFtpd::ProFtpd(const Options &o) : UnpackedFtpd(o, "proftpd", "ProFtpd")
{
    const std::string d = dir_->path();
    Credentials c = unprivileged();
    // name:hash:uid:gid:gecos:home:shell; DefaultRoot ~ chroots to the home.
    write_file(d + "/passwd", user_ + ":" + sha512_crypt(pass_) + ":" + std::to_string(c.uid) + ":" +
                                  std::to_string(c.gid) + "::" + root_ + ":/bin/false\n");
    write_file(d + "/group", "nogroup:x:" + std::to_string(c.gid) + ":\n");
    // proftpd refuses account files that others can read.
    chmod((d + "/passwd").c_str(), 0600);
    chmod((d + "/group").c_str(), 0600);

    Spawn s;
    s.program = program_;
    s.args = {"-n", "-c", conf_file_};
    s.env = {{"LD_LIBRARY_PATH", unpacked_libraries()}};
    start_configured(o, [&](int port, int low) {
        std::string conf = "ServerType standalone\n"
                           "ServerName \"vantor test\"\n"
                           "DefaultAddress 127.0.0.1\n"
                           "SocketBindTight on\n"
                           "UseIPv6 off\n"
                           "Port " + std::to_string(port) + "\n"
                           "PassivePorts " + std::to_string(low) + " " + std::to_string(low + 15) + "\n"
                           "User nobody\n"
                           "Group nogroup\n"
                           "Umask 022\n"
                           "AllowOverwrite on\n"
                           "AuthOrder mod_auth_file.c\n"
                           "AuthUserFile " + d + "/passwd\n"
                           "AuthGroupFile " + d + "/group\n"
                           "RequireValidShell off\n"
                           "DefaultRoot ~\n"
                           "UseReverseDNS off\n"
                           "WtmpLog off\n"
                           "DelayTable none\n"
                           "ScoreboardFile " + d + "/scoreboard\n"
                           "PidFile " + d + "/proftpd.pid\n"
                           "SystemLog " + log_file_ + "\n"
                           "TransferLog none\n"
                           "LogFormat commands \"%t \\\"%r\\\" %s\"\n"
                           "ExtendedLog " + log_file_ + " ALL commands\n";
        if (o.tls != "no") {
            conf += "ModulePath " + ftpds_dir() + "/usr/lib/proftpd\n"
                    "LoadModule mod_tls.c\n"
                    "TLSEngine on\n"
                    "TLSRequired on\n"
                    "TLSRSACertificateFile " + certificate_ + "\n"
                    "TLSRSACertificateKeyFile " + certificate_ + "\n";
            if (implicit_tls_)
                conf += "TLSOptions UseImplicitSSL\n";
        }
        return conf;
    }, s);
}

}  // namespace vt
