// A Kelvra window on a temporary program folder, with the services that need
// a person (folder picker, error boxes) or the platform (worker threads)
// played by the test, and every status change recorded in order.
#pragma once

#include <QString>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RpcForm.h"
#include "fixtures.h"

namespace kelvra::testing {

using namespace std::chrono_literals;
using vork::testing::TempDir;

// Runs the GUI thread's events until pred holds or the time is up.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

std::string ReadText(const std::filesystem::path& path);
void WriteText(const std::filesystem::path& path, const std::string& text);

class Kelvra {
 public:
  enum class Workers { kReal, kHold, kFail };

  Kelvra();
  ~Kelvra();
  Kelvra(const Kelvra&) = delete;
  Kelvra& operator=(const Kelvra&) = delete;

  // The program folder (ends without "/"), and setup.ini in it.
  [[nodiscard]] const std::filesystem::path& folder() const { return folder_.path(); }
  [[nodiscard]] std::filesystem::path ini_path() const { return folder() / "setup.ini"; }
  [[nodiscard]] QString FolderText(const char* sub) const;  // folder + "/" + sub + "/"

  // Creates the window (start-up runs); locations default to the folder.
  TFormRpc& Start(std::optional<Locations> locations = std::nullopt);
  TFormRpc& form() { return *form_; }
  // Closes the window as its close button does.
  void Close();
  // Destroys the window without closing it.
  void Destroy();

  template <typename W>
  W* Control(const char* name) {
    return form_->findChild<W*>(QLatin1String(name));
  }
  [[nodiscard]] std::vector<std::string> StatusLines();  // what LBStatus shows now
  [[nodiscard]] QString Panel();

  // What the window did, in order: "+ line", "~ line", "clear", "panel: text".
  std::vector<std::string> status;
  std::vector<std::string> errors;
  // Folder picker: answers given in turn (a null string: cancelled); what
  // it saw.
  std::deque<QString> pick_answers;
  std::vector<std::string> pick_titles;
  std::vector<std::string> pick_starts;
  // Workers: real threads, held (the job is kept, never run), or failing.
  Workers workers = Workers::kReal;
  std::vector<JobSpec> held_jobs;
  int worker_starts = 0;

  // Waits until the status record holds entry at or after index from.
  bool WaitForStatus(const std::string& entry, std::size_t from, std::chrono::milliseconds timeout);

 private:
  TempDir folder_;
  std::unique_ptr<TFormRpc> form_;
};

// Sends a one-key request from the simulated terminal while the window runs;
// true when the terminal got "ok".
bool Request(vork::termsim::Simulator& sim, const std::string& text);

}  // namespace kelvra::testing
