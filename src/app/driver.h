// The run driver: command line, configuration, database connection, mode.
#pragma once

// Runs vantor with the program's arguments; it always ends the process,
// with one of the statuses of publish/salida.h.
[[noreturn]] void vantor_main(int argc, char **argv);
