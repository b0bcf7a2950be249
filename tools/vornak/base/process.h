// SPDX-License-Identifier: MIT
// Running the helper programs of `vornak build` (the linker, osslsigncode)
// and waiting for them. The one place where the tool starts a process.
#pragma once

#include <string>
#include <vector>

namespace vornak {

// Runs program (a path, or a name looked up on PATH) with args and the
// tool's environment, and waits for it. Without error_output the program
// shares the tool's standard streams, so its messages reach the user; with
// it, its standard error is collected there, and its standard output too
// when output_too is set (else it goes to /dev/null). Returns the exit status, or 128 plus the signal number
// when a signal ended it. Throws Error when the program cannot be started.
int run_program(const std::string &program, const std::vector<std::string> &args,
                std::string *error_output = nullptr, bool output_too = false);

}  // namespace vornak
