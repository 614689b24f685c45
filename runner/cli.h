#pragma once
// The smdhost command line: run a site (or the demo), list history, send control requests.
// Exit status: 0 done, 1 the host failed while running, 2 bad command line or site file.
#include <iosfwd>

int RunSmdhost(int argc, char** argv, std::ostream& out, std::ostream& err);
