// A small FTP client over plain sockets, for the harness's own checks of
// its servers: independent of the library vantor uses.
#pragma once

#include <string>

namespace vt {

class FtpClient {
public:
    FtpClient() = default;
    ~FtpClient();
    FtpClient(const FtpClient &) = delete;
    FtpClient &operator=(const FtpClient &) = delete;

    // Connects and reads the greeting; true when it is positive.
    bool connect(const std::string &host, int port);
    // USER and PASS; true on 230.
    bool login(const std::string &user, const std::string &pass);
    // MKD; true on 257.
    bool mkdir(const std::string &path);
    // TYPE I, PASV, STOR with the file's bytes; true when the final reply
    // is positive.
    bool put(const std::string &local, const std::string &remote);
    // Sends QUIT and closes.
    void quit();
    // The last reply line with a line feed, "" when none came.
    const std::string &last() const { return last_; }

private:
    // Sends a command and reads its reply; returns the code (0: none).
    int command(const std::string &line);
    int reply();

    int fd_ = -1;
    std::string in_, last_;
};

}  // namespace vt
