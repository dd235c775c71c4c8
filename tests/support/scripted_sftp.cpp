#include "support/scripted_sftp.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/ssh_daemons.h"

#ifndef VANTOR_SCRIPTED_SFTP_SERVER
#define VANTOR_SCRIPTED_SFTP_SERVER "scripted_sftp_server.py"
#endif

namespace vt {

namespace {

using namespace std::chrono_literals;

const char *answer_name(SftpAnswer::Kind k)
{
    switch (k) {
    case SftpAnswer::Kind::Ok: return "ok";
    case SftpAnswer::Kind::NoSuchFile: return "no_such_file";
    case SftpAnswer::Kind::PermissionDenied: return "permission_denied";
    case SftpAnswer::Kind::Failure: return "failure";
    case SftpAnswer::Kind::Unsupported: return "unsupported";
    case SftpAnswer::Kind::Drop: return "drop";
    case SftpAnswer::Kind::Stall: return "stall";
    }
    return "ok";
}

}  // namespace

ScriptedSftp::ScriptedSftp()
{
    dir_ = std::make_unique<TempDir>("vantor-scripted-sftp");
    root_ = *dir_ / "root";
    script_ = *dir_ / "script";
    log_file_ = *dir_ / "requests.log";
    make_dirs(root_);
    write_file(log_file_, "");
    const std::string host_key = *dir_ / "host_key";
    make_ssh_key(host_key);

    Spawn s;
    s.program = "/usr/bin/python3";
    s.args = {VANTOR_SCRIPTED_SFTP_SERVER, root_, host_key, user(), pass(), script_, log_file_};
    // Debian's modules only: no user site, no pyenv.
    s.env = {{"PYTHONNOUSERSITE", "1"}, {"PYTHONDONTWRITEBYTECODE", "1"}};
    s.unset_env = {"PYTHONPATH", "PYTHONHOME"};
    s.timeout = std::chrono::hours(24);
    proc_ = std::make_unique<Process>(s);
    if (!proc_->wait_for_output("\n", 20s))
        throw std::runtime_error("the scripted SFTP server did not start: " + proc_->err_so_far());
    if (std::sscanf(proc_->out_so_far().c_str(), "listening %d", &port_) != 1)
        throw std::runtime_error("the scripted SFTP server said: " + proc_->out_so_far());

    std::istringstream pub(read_file(host_key + ".pub"));
    std::string type, blob;
    pub >> type >> blob;
    known_hosts_ = *dir_ / "known_hosts";
    write_file(known_hosts_, "[127.0.0.1]:" + std::to_string(port_) + " " + type + " " + blob + "\n");
}

ScriptedSftp::~ScriptedSftp()
{
    stop();
}

std::string ScriptedSftp::fingerprint() const
{
    return ssh_fingerprint(*dir_ / "host_key.pub");
}

void ScriptedSftp::queue(const std::string &request, const SftpAnswer &a)
{
    queue(request, "*", a);
}

void ScriptedSftp::queue(const std::string &request, const std::string &path, const SftpAnswer &a)
{
    if (path.find_first_of("\t\n") != std::string::npos)
        throw std::invalid_argument("a scripted path may hold no tab or line feed");
    std::lock_guard<std::mutex> lk(mu_);
    script_text_ += std::to_string(++queued_) + "\t" + request + "\t" + path + "\t" +
                    answer_name(a.kind) + "\t" + std::to_string(a.delay.count()) + "\n";
    // The server reads the script before each request: it must never see
    // half a file.
    write_file(script_ + ".new", script_text_);
    if (std::rename((script_ + ".new").c_str(), script_.c_str()) != 0)
        throw std::runtime_error("cannot replace " + script_);
}

ScriptedSftp::Log ScriptedSftp::read_log() const
{
    Log log;
    std::istringstream in(read_file(log_file_));
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        size_t session = std::stoul(line.substr(0, tab));
        if (log.sessions.size() <= session) {
            log.sessions.resize(session + 1);
            log.ended.resize(session + 1, false);
        }
        std::string entry = line.substr(tab + 1);
        if (entry == "-")
            log.ended[session] = true;
        else if (entry != "+")
            log.sessions[session].push_back(entry);
    }
    return log;
}

std::vector<std::vector<std::string>> ScriptedSftp::sessions() const
{
    return read_log().sessions;
}

std::vector<std::string> ScriptedSftp::requests() const
{
    std::vector<std::string> all;
    for (const auto &s : sessions())
        all.insert(all.end(), s.begin(), s.end());
    return all;
}

int ScriptedSftp::connections() const
{
    return static_cast<int>(read_log().sessions.size());
}

bool ScriptedSftp::wait_for_request(const std::string &prefix, std::chrono::milliseconds limit) const
{
    auto end = std::chrono::steady_clock::now() + limit;
    do {
        for (const std::string &r : requests())
            if (r.rfind(prefix, 0) == 0)
                return true;
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

bool ScriptedSftp::wait_for_disconnect(std::chrono::milliseconds limit) const
{
    auto end = std::chrono::steady_clock::now() + limit;
    do {
        Log log = read_log();
        bool all = true;
        for (bool e : log.ended)
            all = all && e;
        if (all)
            return true;
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

void ScriptedSftp::stop()
{
    if (proc_) {
        proc_->stop(1000ms);
        proc_.reset();
    }
}

}  // namespace vt
