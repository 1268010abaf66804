// The serial link: one port, its receiver thread, and the transmit and
// receive areas of the conversation with the terminal.
//
// States: Closed (no port), Half open (port held but not configured: sends
// are tried, nothing is received), Open (port configured, receiver running).
// OpenPort, ClosePort, ChangeBaudrate and SetCompression run on callers'
// threads and are serialized among themselves; ClosePort may come from any
// thread at any time. The receiver thread alone fills the receive message
// area; it hands each message over under a lock and then tells the owner,
// so a caller copying a message never sees it change under it.
//
// Send and close: a frame is written completely (or not at all) before
// SendFrame returns, under the port lock. ClosePort first raises the stop
// wake-up, which ends both the receiver's wait and an unfinished write, then
// joins the receiver and closes the descriptor; no send or read can reach a
// closed or reused descriptor.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "compression.h"
#include "frame_codec.h"
#include "serial_port.h"
#include "signals.h"
#include "wire.h"

namespace vork::link {

// What the link tells the object that owns it; called on the receiver thread
// (SignalMessage) or on the closing thread (LinkStopped).
class LinkOwner {
 public:
  // A message was placed in the receive message area.
  virtual void SignalMessage() = 0;
  // The link stopped receiving (closed, or its device failed): no response
  // can come any more.
  virtual void LinkStopped() = 0;

 protected:
  ~LinkOwner() = default;
};

inline constexpr int kDefaultBaudRate = 115200;

class Link final : private ByteSource {
 public:
  explicit Link(LinkOwner& owner);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Closes an open port, then opens COM<number> and starts the receiver.
  // False when number is negative (nothing stored), when the device cannot
  // be opened (Closed) or configured (Half open, the device stays held).
  bool OpenPort(int number, int baud);
  // Stops the receiver and closes the port; nothing when Closed. The port
  // number, baud rate and compression flag are kept.
  void ClosePort();
  // Stores baud, closes, and reopens the remembered port number.
  bool ChangeBaudrate(int baud);
  // Stores the flag (non-zero: compress every message sent); returns the
  // previous one.
  int SetCompression(int flag);

  // The request being built; the caller's thread owns it between sends.
  [[nodiscard]] std::span<std::byte> transmit_message() { return transmit_message_; }
  void set_transmit_message_length(std::size_t length) { transmit_message_length_ = length; }
  // Compresses (when the flag is on), frames and writes the transmit
  // message. False when the link is Closed, the message or its compressed
  // form is too long, or the port did not take the whole frame in time.
  bool SendFrame();

  // Runs f(message) on the last message received, under the receive lock.
  template <typename F>
  decltype(auto) WithReceivedMessage(F&& f) const {
    std::lock_guard lock(receive_mutex_);
    return f(std::span<const std::byte>(receive_message_.data(), receive_body_length_));
  }

  [[nodiscard]] bool receiving() const { return receiving_.load(); }
  // Held but never configured: requests still go out, and a call waits out
  // its time-out as on a silent line. Not so once the link is Closed or the
  // device has hung up, where no wait can end in an answer.
  [[nodiscard]] bool half_open() const { return half_open_.load(); }
  [[nodiscard]] bool port_held() const;
  [[nodiscard]] int port_number() const { return port_number_.load(); }
  [[nodiscard]] int baud_rate() const { return baud_rate_.load(); }
  [[nodiscard]] int compression() const { return compression_.load(); }

  // Longest wait for the next byte inside a frame: 10 ms, then five read
  // pauses of 5760000 / baud ms.
  [[nodiscard]] std::chrono::milliseconds FrameGapBudget() const;

 private:
  bool OpenPortLocked(int number, int baud);
  void ClosePortLocked();
  void ReceiverLoop();
  // Reads what the port has, waiting at most `wait` for the first byte.
  std::size_t ReadPort(std::span<std::byte> into, std::chrono::milliseconds wait);
  std::size_t ReadMore(std::span<std::byte> into) override;
  void Deliver(std::span<const std::byte> message);
  void StopReceiving();

  LinkOwner& owner_;
  std::mutex open_close_mutex_;  // OpenPort / ClosePort / ChangeBaudrate
  mutable std::mutex port_mutex_;  // the descriptor, against a write in progress
  SerialPort port_;
  // Made at load when it can be; a link without it does not open.
  Wakeup stop_{std::nothrow};
  std::thread receiver_;
  std::atomic<bool> receiving_{false};
  std::atomic<bool> half_open_{false};
  std::atomic<int> port_number_{0};
  std::atomic<int> baud_rate_{kDefaultBaudRate};
  std::atomic<int> compression_{1};

  // Caller's side.
  std::array<std::byte, kMaxMessageBytes> transmit_message_{};
  std::size_t transmit_message_length_ = 0;
  std::array<std::byte, kMaxMessageBytes> transmit_body_{};
  std::array<std::byte, kFrameAreaBytes> frame_{};
  Compressor compressor_;

  // Receiver's side.
  FrameReceiver frames_{*this};
  mutable std::mutex receive_mutex_;
  std::array<std::byte, kMaxMessageBytes> receive_message_{};
  std::size_t receive_body_length_ = 0;
};

}  // namespace vork::link
