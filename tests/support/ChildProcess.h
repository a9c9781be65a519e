// Running test code or programs in child processes: some behaviour happens
// once per process (a library's static initialisers, a mode read at load),
// and a test observes it in a child.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ChildResult {
  int exitCode = -1;   // when the child exited
  int signal = 0;      // when a signal ended it
  std::string output;  // what it wrote to stdout and stderr
};

// Forks; the child runs `body`, whose returned text is passed back, then exits 0.
// An exception in the child is reported as its text with exit code 2.
ChildResult runInChild(const std::function<std::string()>& body);

// Runs `program` with `args`; `environment` entries are set (a value of
// "\x7f" unsets the variable) on top of this process's environment.
ChildResult runProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& environment = {});

inline const std::string kUnset = "\x7f";

}  // namespace testing_support
