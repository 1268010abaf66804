#include "JobBridge.h"

#include <QMetaObject>

namespace kelvra {

namespace {

// The end of one Send(): reached when its queued call has run, or when the
// call is destroyed without running (the window went away first).
class Completion {
 public:
  void MarkRan() {
    std::lock_guard lock(mutex_);
    ran_ = true;
  }
  void Finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    done_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return finished_; });
    return ran_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  bool ran_ = false;
};

// Held by the queued call only: its destruction, whether or not the call ran,
// finishes the Send() that queued it.
struct FinishOnDestroy {
  explicit FinishOnDestroy(std::shared_ptr<Completion> c) : completion(std::move(c)) {}
  std::shared_ptr<Completion> completion;
  FinishOnDestroy(const FinishOnDestroy&) = delete;
  FinishOnDestroy& operator=(const FinishOnDestroy&) = delete;
  ~FinishOnDestroy() { completion->Finish(); }
};

}  // namespace

std::shared_ptr<JobBridge> JobBridge::Create(QObject* context, JobWindow* window) {
  return std::shared_ptr<JobBridge>(new JobBridge(context, window));
}

JobWindow* JobBridge::WindowIfAttached() const {
  std::lock_guard lock(mutex_);
  return window_;
}

bool JobBridge::Attached() const { return WindowIfAttached() != nullptr; }

void JobBridge::Post(Action action) {
  std::lock_guard lock(mutex_);
  if (window_ == nullptr) return;
  // Queued under the lock: Detach() cannot slip in between the check and
  // the queuing, and a detached bridge drops the call when it comes up.
  QMetaObject::invokeMethod(
      context_,
      [self = shared_from_this(), action = std::move(action)] {
        if (JobWindow* window = self->WindowIfAttached()) action(*window);
      },
      Qt::QueuedConnection);
}

bool JobBridge::Send(Action action) {
  auto completion = std::make_shared<Completion>();
  {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) return false;
    auto finish = std::make_shared<FinishOnDestroy>(completion);
    QMetaObject::invokeMethod(
        context_,
        [self = shared_from_this(), action = std::move(action), completion, finish] {
          if (JobWindow* window = self->WindowIfAttached()) {
            action(*window);
            completion->MarkRan();
          }
        },
        Qt::QueuedConnection);
  }
  return completion->Wait();
}

void JobBridge::Pause(std::chrono::milliseconds duration) const {
  std::unique_lock lock(mutex_);
  detached_.wait_for(lock, duration, [this] { return window_ == nullptr; });
}

void JobBridge::Detach() {
  std::lock_guard lock(mutex_);
  window_ = nullptr;
  detached_.notify_all();
}

}  // namespace kelvra
