// What a program's main does with its standard output: keeps it apart from
// an output written there, and checks at the end that it got what was printed.
#pragma once

#include <string>

namespace Core {

// Ends a program: makes sure what it printed on standard output got there.
// Returns `status`, or 1 after saying "PROGRAM: write error: REASON" on standard
// error when standard output could not be written or closed. A standard output
// that was closed at start with nothing written to it is not an error.
int CloseStdout(const char* program, int status);

// For a program's main, before it prints anything: an output that is the
// standard output must hold the output's bytes and nothing else. Standard output
// then becomes a copy of standard error, so every line the program prints goes
// there, and the returned path names a new descriptor for the original standard
// output. Any other `output` comes back unchanged.
std::string SeparateFromMessages(const std::string& output);

}  // namespace Core
