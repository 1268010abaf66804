// How a transfer job talks to the window.
//
// Model: the job runs on its own thread and never touches a widget. Each of
// its requests travels as a queued call into the window's event queue, so
// the window carries them out on the GUI thread in the order the job made
// them; Send() also waits until the window has carried its call out. The
// window detaches the bridge when it closes: from then on no call of the job
// reaches it (calls already queued are dropped), Send() returns at once and a
// Pause() in progress ends.
//
// Ownership: shared by the window and the job; the window's QObject must
// outlive every queued call, which Qt guarantees by dropping the queued calls
// of an object it destroys.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace kelvra {

enum class Direction { kUpload, kDownload };

// What a job asks of the window. Every function runs on the GUI thread.
class JobWindow {
 public:
  virtual void AddStatusLine(const QString& line) = 0;
  virtual void ReplaceLastStatusLine(const QString& line) = 0;
  virtual void SetStatusPanel(const QString& text) = 0;
  // The folder text of the direction as its edit box shows it now.
  virtual QString FolderText(Direction direction) = 0;
  // After a link start that failed: listen again and leave the busy state.
  virtual void ListenAfterFailedStart() = 0;
  // The end-of-job notice.
  virtual void WMRpcDone() = 0;

 protected:
  ~JobWindow() = default;
};

class JobBridge : public std::enable_shared_from_this<JobBridge> {
 public:
  using Action = std::function<void(JobWindow&)>;

  // context lives on the GUI thread and carries the queued calls; window is
  // the object they act on (usually the same object).
  static std::shared_ptr<JobBridge> Create(QObject* context, JobWindow* window);

  // Job side, any thread.
  // Queues action; it is dropped once the bridge is detached.
  void Post(Action action);
  // Queues action and waits until the window has carried it out or has
  // dropped it. True when it ran.
  bool Send(Action action);
  [[nodiscard]] bool Attached() const;
  // Waits for duration, or less when the bridge is detached meanwhile.
  void Pause(std::chrono::milliseconds duration) const;

  // Window side, GUI thread: no call of the job reaches the window after it.
  void Detach();

 private:
  JobBridge(QObject* context, JobWindow* window) : context_(context), window_(window) {}
  JobWindow* WindowIfAttached() const;

  QObject* const context_;
  mutable std::mutex mutex_;
  mutable std::condition_variable detached_;
  JobWindow* window_;  // null once detached
};

}  // namespace kelvra
