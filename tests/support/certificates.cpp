#include "support/certificates.h"

#include <sys/stat.h>

#include <memory>
#include <stdexcept>

#include "support/files.h"
#include "support/process.h"

namespace vt {

Certificate make_certificate(const std::string &dir, const std::string &name,
                             const std::string &subject, const std::string &alt_names)
{
    const std::string key = dir + "/" + name + ".key";
    Certificate c{dir + "/" + name + ".pem", dir + "/" + name + ".crt"};
    Spawn s;
    s.program = "openssl";
    s.args = {"req",    "-x509",  "-newkey", "rsa:2048", "-nodes",         "-days",
              "3650",   "-subj",  subject,   "-addext",  "subjectAltName=" + alt_names,
              "-keyout", key,     "-out",    c.cert};
    Outcome o = run(s);
    if (o.status != 0)
        throw std::runtime_error("openssl req failed: " + describe(o));
    write_file(c.pem, read_file(key) + read_file(c.cert));
    // Readable by a server that runs as nobody.
    chmod(c.pem.c_str(), 0644);
    chmod(c.cert.c_str(), 0644);
    return c;
}

const Certificates &test_certificates()
{
    static std::unique_ptr<TempDir> dir;
    static std::unique_ptr<Certificates> made;
    if (!made) {
        dir = std::make_unique<TempDir>("vantor-certs");
        const std::string loopback = "IP:127.0.0.1,IP:::1";
        made = std::make_unique<Certificates>(Certificates{
            make_certificate(dir->path(), "server", "/CN=127.0.0.1", loopback),
            make_certificate(dir->path(), "stranger", "/CN=127.0.0.1", loopback),
            make_certificate(dir->path(), "misnamed", "/CN=otro.invalid", "DNS:otro.invalid"),
        });
    }
    return *made;
}

}  // namespace vt
