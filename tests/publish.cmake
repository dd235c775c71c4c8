# Update runs end to end with the real binary and a private MariaDB: against
# real FTP servers (pyftpdlib, pure-ftpd) and against the scripted one.
vantor_test(test_publish_real SOURCES test_publish_real.cpp LABELS "e2e;publish;ftp;mariadb" TIMEOUT 120)
vantor_test(test_publish_scripted SOURCES test_publish_scripted.cpp LABELS "e2e;publish;ftp;mariadb" TIMEOUT 120)
# Transfers end to end: several connections, refused connections, stalls,
# long paths.
vantor_test(test_transport SOURCES test_transport.cpp LABELS "e2e;publish;ftp;mariadb" TIMEOUT 300)
