#include "link.h"

#include "com_ports.h"

#include <cstring>
#include <system_error>

namespace vork::link {

namespace {

constexpr std::chrono::milliseconds kInFrameFirstPause{10};
constexpr int kReadTries = 5;

// Write time-outs of the line: 1000 ms plus 10 ms per byte.
std::chrono::steady_clock::duration WriteBudget(std::size_t bytes) {
  return std::chrono::milliseconds(1000 + 10 * static_cast<std::int64_t>(bytes));
}

}  // namespace

Link::Link(LinkOwner& owner) : owner_(owner) {}

Link::~Link() { ClosePort(); }

bool Link::port_held() const {
  std::lock_guard lock(port_mutex_);
  return port_.valid();
}

std::chrono::milliseconds Link::FrameGapBudget() const {
  const int baud = baud_rate_.load();
  const auto pause = std::chrono::milliseconds(baud > 0 ? 5760000 / baud : 0);
  return kInFrameFirstPause + kReadTries * pause;
}

bool Link::OpenPort(int number, int baud) {
  std::lock_guard open_close(open_close_mutex_);
  return OpenPortLocked(number, baud);
}

bool Link::OpenPortLocked(int number, int baud) {
  ClosePortLocked();
  if (number < 0) return false;
  port_number_ = number;
  baud_rate_ = baud;
  if (!stop_.Ready()) return false;
  const auto path = ComDevicePath(number);
  if (!path) return false;
  SerialPort::OpenError error{};
  SerialPort opened = SerialPort::Open(*path, error);
  if (!opened.valid()) return false;
  std::lock_guard port_lock(port_mutex_);
  port_ = std::move(opened);
  // A device that refuses the settings stays held (Half open).
  if (!port_.Configure(baud)) {
    half_open_ = true;
    return false;
  }
  frames_.Discard();
  receiving_ = true;
  // A link without its receiver could never see an answer: the open fails
  // (Half open, the device held until ClosePort).
  try {
    receiver_ = std::thread([this] { ReceiverLoop(); });
  } catch (const std::system_error&) {
    receiving_ = false;
    return false;
  }
  return true;
}

void Link::ClosePort() {
  std::lock_guard open_close(open_close_mutex_);
  ClosePortLocked();
}

void Link::ClosePortLocked() {
  // Raised before anything else: a send in progress holds the port lock
  // until the stop wakes it.
  stop_.Raise();
  half_open_ = false;
  StopReceiving();
  if (receiver_.joinable()) receiver_.join();
  {
    std::lock_guard port_lock(port_mutex_);
    port_.Close();
  }
  stop_.Clear();
}

bool Link::ChangeBaudrate(int baud) {
  std::lock_guard open_close(open_close_mutex_);
  baud_rate_ = baud;
  ClosePortLocked();
  return OpenPortLocked(port_number_.load(), baud);
}

int Link::SetCompression(int flag) { return compression_.exchange(flag); }

bool Link::SendFrame() {
  if (!port_held()) return false;
  const std::size_t length = transmit_message_length_;
  if (length > kMaxMessageBytes) return false;
  const std::span<const std::byte> message(transmit_message_.data(), length);
  std::size_t body_length = 0;
  if (compression_.load() != 0) {
    body_length = compressor_.CompressBody(message, transmit_body_);
    if (body_length == 0) return false;
  } else {
    std::memcpy(transmit_body_.data(), message.data(), length);
    body_length = length;
  }
  const std::size_t frame_length = BuildFrame({transmit_body_.data(), body_length}, frame_);
  if (frame_length == 0) return false;
  std::lock_guard port_lock(port_mutex_);
  if (!port_.valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + WriteBudget(frame_length);
  return port_.WriteAll({frame_.data(), frame_length}, deadline, stop_);
}

std::size_t Link::ReadPort(std::span<std::byte> into, std::chrono::milliseconds wait) {
  // Waiting for the first byte up to the whole budget replaces the read,
  // pause, read again of a polled line: same bound, no dead time.
  const auto waited = port_.WaitReadable(wait, stop_);
  if (waited == SerialPort::WaitResult::kHangup) {
    StopReceiving();
    return 0;
  }
  if (waited != SerialPort::WaitResult::kReady) return 0;
  const ssize_t got = port_.ReadSome(into.first(std::min(into.size(), kReadLimitBytes)));
  if (got < 0) {
    StopReceiving();
    return 0;
  }
  return static_cast<std::size_t>(got);
}

std::size_t Link::ReadMore(std::span<std::byte> into) {
  if (!receiving_) return 0;
  return ReadPort(into, FrameGapBudget());
}

void Link::ReceiverLoop() {
  while (receiving_) {
    if (!frames_.HasBufferedBytes()) {
      const auto waited = port_.WaitReadable(std::nullopt, stop_);
      if (waited == SerialPort::WaitResult::kWoken) return;
      if (waited == SerialPort::WaitResult::kHangup) {
        StopReceiving();
        break;
      }
      const std::size_t got = ReadPort(frames_.RawArea(), std::chrono::milliseconds(0));
      if (got == 0) continue;
      frames_.Accept(got);
    }
    if (frames_.ReceiveFrame()) Deliver(frames_.message());
  }
  // The device failed: nothing more can be read. Stay until ClosePort so the
  // thread always ends by its join.
  stop_.WaitRaised();
}

void Link::Deliver(std::span<const std::byte> message) {
  {
    std::lock_guard lock(receive_mutex_);
    std::memcpy(receive_message_.data(), message.data(), message.size());
    receive_body_length_ = message.size();
  }
  owner_.SignalMessage();
}

void Link::StopReceiving() {
  receiving_ = false;
  owner_.LinkStopped();
}

}  // namespace vork::link
