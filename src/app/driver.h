// The run driver: command line, configuration, database connection, mode.
#pragma once

int vantor_main(int argc, char **argv);
