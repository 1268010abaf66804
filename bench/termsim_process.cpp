#include "termsim_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

extern char** environ;

namespace vork::bench {

TermsimProcess::TermsimProcess(const std::filesystem::path& root,
                               const std::filesystem::path& link,
                               const std::vector<std::string>& extra) {
  std::vector<std::string> args = {VORK_TERMSIM_PATH, "--root", root.string(), "--pty",
                                   link.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (failed != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start " + args[0]);
  }
  // Wait for "ready <device>".
  FILE* from_child = ::fdopen(out[0], "r");
  char line[512] = {};
  const bool ready = std::fgets(line, sizeof line, from_child) != nullptr &&
                     std::string(line).rfind("ready ", 0) == 0;
  std::fclose(from_child);
  if (!ready) throw std::runtime_error("the terminal simulator did not come up");
}

TermsimProcess::~TermsimProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

}  // namespace vork::bench
