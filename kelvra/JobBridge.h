// How a transfer job talks to the window.
//
// Model: the job runs on its own thread and never touches a widget. Each of
// its requests is queued in the bridge, and a wake-up without payload is
// queued in the GUI thread's event loop; there the bridge's pump runs the
// requests in the order the job made them. Send() also waits until its
// request has run. The window detaches the bridge when it closes: from then
// on nothing of the job reaches it (queued requests are dropped), Send()
// returns at once and a Pause() in progress ends.
//
// All data crosses threads under the bridge's own mutex, so the hand-over is
// visible to race checkers that cannot see inside Qt's event queue.
//
// Ownership: shared by the window and the job. The pump is a child of the
// window's QObject, so it never outlives the window.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "unique_fd.h"

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

class JobBridge;

// Runs a bridge's queued requests when the GUI thread's event loop gets to
// its wake-up.
class JobPump : public QObject {
  Q_OBJECT

 public:
  JobPump(std::weak_ptr<JobBridge> bridge, QObject* parent);
  // Any thread. The wake-up is an eventfd that the GUI thread watches: the
  // job's thread calls nothing of Qt's (whose locks race checkers cannot
  // see). Without an eventfd, a queued call does the same.
  void Wake();
  Q_INVOKABLE void RunQueued();

 private:
  std::weak_ptr<JobBridge> bridge_;
  vork::link::UniqueFd wake_;
};

class JobBridge : public std::enable_shared_from_this<JobBridge> {
 public:
  using Action = std::function<void(JobWindow&)>;

  // GUI thread. gui_parent lives on the GUI thread and owns the pump; window
  // is what the requests act on. Neither may go away before Detach().
  static std::shared_ptr<JobBridge> Create(QObject* gui_parent, JobWindow* window);

  // Job side, any thread.
  // Queues action; dropped once the bridge is detached.
  void Post(Action action);
  // Queues action and waits until it has run or been dropped. True when it
  // ran.
  bool Send(Action action);
  [[nodiscard]] bool Attached() const;
  // Waits for duration, or less when the bridge is detached meanwhile.
  void Pause(std::chrono::milliseconds duration) const;

  // Window side, GUI thread.
  // Nothing of the job reaches the window after this; waiting Send()s end.
  void Detach();
  // Runs the queued requests in order (the pump's work).
  void RunQueued();

 private:
  class Completion;
  struct Request {
    Action action;
    std::shared_ptr<Completion> completion;  // null for Post()
  };

  explicit JobBridge(JobWindow* window) : window_(window) {}
  void Queue(Request request);

  mutable std::mutex mutex_;
  mutable std::condition_variable detached_;
  JobWindow* window_;  // null once detached
  JobPump* pump_ = nullptr;
  std::deque<Request> queue_;
};

}  // namespace kelvra
