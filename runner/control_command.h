#pragma once
// `smdhost control`: sends one control request to a running host and prints its answer.
#include <iosfwd>

#include <boost/program_options/variables_map.hpp>

// The control codes, for --help.
extern const char* const kControlCodes;

// Exit status: 0 carried out, 1 refused, not sent, not answered or the host unreachable, 2 bad
// arguments. Other errors leave as exceptions, for the caller to report.
int ControlCommand(const boost::program_options::variables_map& vm, std::ostream& out,
                   std::ostream& err);
