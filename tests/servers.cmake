# The four FTP servers, plain and over explicit TLS, on one and four
# connections: end to end with the real binary and a private MariaDB.
vantor_test(test_servers SOURCES test_servers.cpp LABELS "e2e;tls;ftp;mariadb;servers" TIMEOUT 600)
