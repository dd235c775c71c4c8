# Update runs over TLS (explicit and implicit), over IPv6 and on several
# connections, end to end with the real binary, a private MariaDB and real
# FTP servers (pure-ftpd with -Y, pyftpdlib's TLS handler).
vantor_test(test_tls SOURCES test_tls.cpp LABELS "e2e;tls;ftp;mariadb" TIMEOUT 300)
