#include "support/ftp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/files.h"

namespace vt {

namespace {

int dial(const std::string &host, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

FtpClient::~FtpClient()
{
    if (fd_ >= 0)
        close(fd_);
}

int FtpClient::reply()
{
    last_.clear();
    for (;;) {
        size_t eol = in_.find("\r\n");
        while (eol == std::string::npos) {
            char b[4096];
            ssize_t n = fd_ < 0 ? -1 : read(fd_, b, sizeof b);
            if (n <= 0)
                return 0;
            in_.append(b, static_cast<size_t>(n));
            eol = in_.find("\r\n");
        }
        std::string line = in_.substr(0, eol);
        in_.erase(0, eol + 2);
        if (line.size() >= 4 && isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ') {
            last_ = line + "\n";
            return std::stoi(line.substr(0, 3));
        }
    }
}

int FtpClient::command(const std::string &line)
{
    std::string l = line + "\r\n";
    if (fd_ < 0 || write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) {
        last_.clear();
        return 0;
    }
    return reply();
}

bool FtpClient::connect(const std::string &host, int port)
{
    fd_ = dial(host, port);
    return fd_ >= 0 && reply() / 100 == 2;
}

bool FtpClient::login(const std::string &user, const std::string &pass)
{
    int c = command("USER " + user);
    if (c == 331)
        c = command("PASS " + pass);
    return c == 230;
}

bool FtpClient::mkdir(const std::string &path) { return command("MKD " + path) == 257; }

bool FtpClient::put(const std::string &local, const std::string &remote)
{
    if (command("TYPE I") / 100 != 2 || command("PASV") != 227)
        return false;
    unsigned h1, h2, h3, h4, p1, p2;
    size_t open = last_.find('(');
    if (open == std::string::npos ||
        sscanf(last_.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
        return false;
    int data = dial(std::to_string(h1) + "." + std::to_string(h2) + "." + std::to_string(h3) + "." +
                        std::to_string(h4),
                    static_cast<int>(p1 * 256 + p2));
    if (data < 0)
        return false;
    int c = command("STOR " + remote);
    if (c / 100 != 1) {
        close(data);
        return false;
    }
    std::string bytes = read_file(local);
    for (size_t off = 0; off < bytes.size();) {
        ssize_t n = write(data, bytes.data() + off, bytes.size() - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    close(data);
    return reply() / 100 == 2;
}

void FtpClient::quit()
{
    if (fd_ < 0)
        return;
    command("QUIT");
    close(fd_);
    fd_ = -1;
}

}  // namespace vt
