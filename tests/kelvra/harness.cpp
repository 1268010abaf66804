#include "harness.h"

#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <fstream>
#include <future>
#include <sstream>

namespace kelvra::testing {

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  return QTest::qWaitFor(pred, static_cast<int>(timeout.count()));
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

Kelvra::Kelvra() = default;

Kelvra::~Kelvra() {
  Destroy();
  // No job may outlive its test: it would talk to the next test's terminal.
  TRpcThread::WaitUntilNoneLive(30s);
}

QString Kelvra::FolderText(const char* sub) const {
  return QString::fromStdString((folder() / sub).string()) + QLatin1Char('/');
}

TFormRpc& Kelvra::Start(std::optional<Locations> locations) {
  FormServices services;
  const QString base = QString::fromStdString(folder().string()) + QLatin1Char('/');
  services.locations = locations ? *locations : Locations{base + "setup.ini", base};
  services.pick_folder = [this](QWidget*, const QString& title,
                                const QString& start) -> std::optional<QString> {
    pick_titles.push_back(title.toStdString());
    pick_starts.push_back(start.toStdString());
    if (pick_answers.empty())
      return std::nullopt;
    const QString answer = pick_answers.front();
    pick_answers.pop_front();
    if (answer.isNull())
      return std::nullopt;
    return answer;
  };
  services.report_error = [this](QWidget*, const QString& message) {
    errors.push_back(message.toStdString());
  };
  services.start_worker = [this](JobSpec job) {
    ++worker_starts;
    switch (workers) {
      case Workers::kReal:
        return TRpcThread::Start(std::move(job));
      case Workers::kHold:
        held_jobs.push_back(std::move(job));
        return true;
      case Workers::kFail:
        return false;
    }
    return false;
  };
  services.status_echo = [this](StatusEvent event, const QString& text) {
    switch (event) {
      case StatusEvent::kLineAdded:
        status.push_back("+ " + text.toStdString());
        break;
      case StatusEvent::kLastLineReplaced:
        status.push_back("~ " + text.toStdString());
        break;
      case StatusEvent::kListCleared:
        status.emplace_back("clear");
        break;
      case StatusEvent::kPanelText:
        status.push_back("panel: " + text.toStdString());
        break;
    }
  };
  form_ = std::make_unique<TFormRpc>(std::move(services));
  form_->show();
  return *form_;
}

void Kelvra::Close() {
  if (form_)
    form_->close();
}

void Kelvra::Destroy() {
  form_.reset();
}

std::vector<std::string> Kelvra::StatusLines() {
  std::vector<std::string> lines;
  auto* list = Control<QListWidget>("LBStatus");
  for (int i = 0; i < list->count(); ++i)
    lines.push_back(list->item(i)->text().toStdString());
  return lines;
}

QString Kelvra::Panel() {
  return Control<QLabel>("StatusBarPanel1")->text();
}

bool Kelvra::WaitForStatus(const std::string& entry, std::size_t from,
                           std::chrono::milliseconds timeout) {
  return PumpUntil(
      [&] {
        for (std::size_t i = from; i < status.size(); ++i) {
          if (status[i] == entry)
            return true;
        }
        return false;
      },
      timeout);
}

bool Request(vork::termsim::Simulator& sim, const std::string& text) {
  auto reply =
      std::async(std::launch::async, [&sim, text] { return sim.SendOneKeyRequest(text, 5000ms); });
  PumpUntil([&] { return reply.wait_for(0ms) == std::future_status::ready; }, 10s);
  return reply.get();
}

}  // namespace kelvra::testing
