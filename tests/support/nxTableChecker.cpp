#include "nxTableChecker.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace nxtest {

namespace {

class CheckerServer {
 public:
  CheckerServer() = default;
  CheckerServer(const CheckerServer&) = delete;
  CheckerServer& operator=(const CheckerServer&) = delete;
  ~CheckerServer() { stop(); }

  CheckerVerdict run(const std::string& aPython, const std::string& aChecker, const std::vector<std::string>& aArgs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ >= 0 && (aPython != python_ || aChecker != checker_)) stop();
    if (socket_ < 0) {
      const std::string failure = start(aPython, aChecker);
      if (!failure.empty()) return {-1, failure};
    }
    std::string request;
    for (const std::string& a : aArgs) {
      if (a.find_first_of("\t\n") != std::string::npos) return {-1, "checker argument with a tab or newline: " + a};
      request += (request.empty() ? "" : "\t") + a;
    }
    request += '\n';
    for (std::size_t sent = 0; sent < request.size();) {
      // No SIGPIPE when the checker has gone: its end is reported instead.
      const ssize_t n = ::send(socket_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return died("");
      sent += static_cast<std::size_t>(n);
    }
    // The answer: the output, NUL, the exit code, newline.
    std::string answer;
    char buffer[4096];
    for (;;) {
      const std::size_t nul = answer.find('\0');
      if (nul != std::string::npos && answer.find('\n', nul) != std::string::npos) {
        CheckerVerdict verdict{std::atoi(answer.c_str() + nul + 1), answer.substr(0, nul)};
        return verdict;
      }
      const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return died(answer);
      answer.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  std::string start(const std::string& aPython, const std::string& aChecker) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
      return std::string("checker not started: ") + std::strerror(errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_adddup2(&actions, ends[1], fd);
    // A long-lived child must not keep the test's files (and their locks) open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::string serve = "--serve";
    char* argv[] = {const_cast<char*>(aPython.c_str()), const_cast<char*>(aChecker.c_str()), serve.data(), nullptr};
    pid_t pid = 0;
    const int err = ::posix_spawn(&pid, aPython.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (err != 0) {
      ::close(ends[0]);
      return "checker not started: " + aPython + ": " + std::strerror(err);
    }
    socket_ = ends[0];
    pid_ = pid;
    python_ = aPython;
    checker_ = aChecker;
    return std::string();
  }

  CheckerVerdict died(const std::string& aOutput) {
    stop();
    return {-1, "checker failed (it stopped)" + (aOutput.empty() ? std::string() : ": " + aOutput)};
  }

  // Closing its input ends the checker.
  void stop() {
    if (socket_ < 0) return;
    ::close(socket_);
    socket_ = -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) continue;
    pid_ = -1;
  }

  std::mutex mutex_;
  int socket_ = -1;
  pid_t pid_ = -1;
  std::string python_, checker_;
};

}  // namespace

CheckerVerdict runTableChecker(const std::string& aPython, const std::string& aChecker,
                               const std::vector<std::string>& aArgs) {
  static CheckerServer server;
  return server.run(aPython, aChecker, aArgs);
}

}  // namespace nxtest
