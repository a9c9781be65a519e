#include "support/ChildProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace testing_support {
namespace {

// Forks with a pipe from the child to the parent. The child runs `child` with
// its end of the pipe (and must not return); the parent collects what comes
// through the pipe until the child closes it, then the child's end.
ChildResult forkAndWait(const std::function<void(int childEnd)>& child) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(pipeFds[0]);
    child(pipeFds[1]);
    _exit(127);
  }
  close(pipeFds[1]);
  ChildResult result;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace

ChildResult runInChild(const std::function<std::string()>& body) {
  return forkAndWait([&](int childEnd) {
    int code = 0;
    std::string text;
    try {
      text = body();
    } catch (const std::exception& e) {
      text = e.what();
      code = 2;
    }
    ssize_t ignored = write(childEnd, text.data(), text.size());
    (void)ignored;
    _exit(code);
  });
}

ChildResult runProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& environment) {
  return forkAndWait([&](int childEnd) {
    dup2(childEnd, STDOUT_FILENO);
    dup2(childEnd, STDERR_FILENO);
    for (const auto& [name, value] : environment) {
      if (value == kUnset) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  });
}

}  // namespace testing_support
