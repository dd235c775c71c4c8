# Fault injection and odd names, end to end with the real binary, a private
# MariaDB and real FTP servers (pyftpdlib, pure-ftpd) or the scripted one.
vantor_test(test_faults SOURCES test_faults.cpp LABELS "e2e;faults;ftp;mariadb" TIMEOUT 300)
vantor_test(test_names SOURCES test_names.cpp LABELS "e2e;names;ftp;mariadb" TIMEOUT 300)
