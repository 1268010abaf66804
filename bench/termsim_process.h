// Starts vork-termsim as a child process on a fresh virtual serial pair and
// stops it again, for benchmarks that want the far end out of their own
// process (so their CPU time is Vork's alone).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vork::bench {

class TermsimProcess {
 public:
  // Serves root; the PC side appears at `link`. Extra arguments go to the
  // simulator as they stand. Throws std::runtime_error when it does not come up.
  TermsimProcess(const std::filesystem::path& root, const std::filesystem::path& link,
                 const std::vector<std::string>& extra = {});
  ~TermsimProcess();
  TermsimProcess(const TermsimProcess&) = delete;
  TermsimProcess& operator=(const TermsimProcess&) = delete;

 private:
  pid_t pid_ = -1;
};

}  // namespace vork::bench
