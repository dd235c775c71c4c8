// Self-signed certificates for the TLS servers, made at test time with the
// openssl command.
//
//   const vt::Certificates &c = vt::test_certificates();
//   vt::PureFtpd::Options o;
//   o.tls = 2;                                 // serves c.server.pem
//   vt::PureFtpd ftp(o);
//   config.set("ftptls", "explicit").set("ftpcafile", c.server.cert);
#pragma once

#include <string>

namespace vt {

// One self-signed certificate: its own authority.
struct Certificate {
    std::string pem;   // private key and certificate in one file: what a server loads
    std::string cert;  // the certificate alone: what a client trusts (ftpcafile)
};

// Makes dir/name.pem and dir/name.crt: an RSA key and a certificate with
// the given subject ("/CN=...") and subjectAltName ("IP:127.0.0.1,DNS:x").
Certificate make_certificate(const std::string &dir, const std::string &name,
                             const std::string &subject, const std::string &alt_names);

struct Certificates {
    Certificate server;    // 127.0.0.1 and ::1 (CN and subjectAltName IP entries)
    Certificate stranger;  // the same names, another key: trusting it is the wrong authority
    Certificate misnamed;  // only the name otro.invalid: right authority, wrong host name
};

// Made once per test program in a private folder that lives as long as it.
const Certificates &test_certificates();

}  // namespace vt
