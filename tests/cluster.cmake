# The run lock and the lookups on a two-node Galera cluster, end to end: the
# real binary, the private cluster (started once for this program only) and
# the scripted FTP server.
vantor_test(test_cluster SOURCES test_cluster.cpp LABELS "e2e;cluster;mariadb" TIMEOUT 600)
