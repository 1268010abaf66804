#include "JobBridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QMetaObject>
#include <QSocketNotifier>

#include <cstdint>

namespace kelvra {

// The end of one Send(): its request ran, or was dropped.
class JobBridge::Completion {
 public:
  void Finish(bool ran) {
    std::lock_guard lock(mutex_);
    finished_ = true;
    ran_ = ran;
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

JobPump::JobPump(std::weak_ptr<JobBridge> bridge, QObject* parent)
    : QObject(parent),
      bridge_(std::move(bridge)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_)
    return;
  auto* notifier = new QSocketNotifier(wake_.get(), QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(wake_.get(), &count, sizeof count);
    RunQueued();
  });
}

void JobPump::Wake() {
  if (wake_) {
    const std::uint64_t one = 1;
    // A full counter is a pending wake-up already.
    [[maybe_unused]] const auto put = ::write(wake_.get(), &one, sizeof one);
    return;
  }
  QMetaObject::invokeMethod(this, "RunQueued", Qt::QueuedConnection);
}

void JobPump::RunQueued() {
  if (const auto bridge = bridge_.lock())
    bridge->RunQueued();
}

std::shared_ptr<JobBridge> JobBridge::Create(QObject* gui_parent, JobWindow* window) {
  std::shared_ptr<JobBridge> bridge(new JobBridge(window));
  bridge->pump_ = new JobPump(bridge, gui_parent);
  return bridge;
}

void JobBridge::Queue(Request request) {
  std::lock_guard lock(mutex_);
  if (window_ == nullptr) {
    if (request.completion)
      request.completion->Finish(false);
    return;
  }
  queue_.push_back(std::move(request));
  // Under the lock: the window detaches (and only then goes away) under the
  // same lock, so the pump is alive here.
  pump_->Wake();
}

void JobBridge::Post(Action action) {
  Queue({std::move(action), nullptr});
}

bool JobBridge::Send(Action action) {
  auto completion = std::make_shared<Completion>();
  Queue({std::move(action), completion});
  return completion->Wait();
}

bool JobBridge::Attached() const {
  std::lock_guard lock(mutex_);
  return window_ != nullptr;
}

void JobBridge::Pause(std::chrono::milliseconds duration) const {
  std::unique_lock lock(mutex_);
  detached_.wait_for(lock, duration, [this] { return window_ == nullptr; });
}

void JobBridge::Detach() {
  std::deque<Request> dropped;
  {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
    dropped.swap(queue_);
    detached_.notify_all();
  }
  for (Request& request : dropped) {
    if (request.completion)
      request.completion->Finish(false);
  }
}

void JobBridge::RunQueued() {
  for (;;) {
    Request request;
    JobWindow* window = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (window_ == nullptr || queue_.empty())
        return;
      request = std::move(queue_.front());
      queue_.pop_front();
      window = window_;
    }
    // Detach() happens on this thread only, so window stays valid meanwhile.
    request.action(*window);
    if (request.completion)
      request.completion->Finish(true);
  }
}

}  // namespace kelvra
