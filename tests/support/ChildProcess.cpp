#include "support/ChildProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace testing_support {
namespace {

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

ChildResult wait(pid_t pid, int fd) {
  ChildResult result;
  result.output = readAll(fd);
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

// Forks with a pipe from the child to the parent. In the child, returns 0 and
// sets `childEnd`; in the parent, returns the pid and sets `parentEnd`.
pid_t forkWithPipe(int& parentEnd, int& childEnd) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(pipeFds[0]);
    childEnd = pipeFds[1];
  } else {
    close(pipeFds[1]);
    parentEnd = pipeFds[0];
  }
  return pid;
}

}  // namespace

ChildResult runInChild(const std::function<std::string()>& body) {
  int parentEnd = -1, childEnd = -1;
  const pid_t pid = forkWithPipe(parentEnd, childEnd);
  if (pid == 0) {
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
  }
  return wait(pid, parentEnd);
}

ChildResult runProgram(const std::string& program, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& environment) {
  int parentEnd = -1, childEnd = -1;
  const pid_t pid = forkWithPipe(parentEnd, childEnd);
  if (pid == 0) {
    dup2(childEnd, STDOUT_FILENO);
    dup2(childEnd, STDERR_FILENO);
    for (const auto& [name, value] : environment) {
      if (value == kUnset) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return wait(pid, parentEnd);
}

}  // namespace testing_support
