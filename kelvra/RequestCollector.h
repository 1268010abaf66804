// The one-key request as it arrives: bytes from the listening port, kept in
// order, until a batch leaves them ending with "#". Everything received since
// the last complete request belongs to the next one, stray bytes in front
// included. GUI thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvra {

class RequestCollector {
 public:
  // Appends received bytes as they stand.
  void Add(std::string_view bytes) { text_.append(bytes); }
  // After a batch: the whole request when the bytes end with "#" (the
  // collector is empty again), else nothing and the bytes stay.
  [[nodiscard]] std::optional<std::string> TakeIfComplete() {
    if (text_.empty() || text_.back() != '#') return std::nullopt;
    std::string request;
    request.swap(text_);
    return request;
  }
  [[nodiscard]] const std::string& collected() const { return text_; }

 private:
  std::string text_;
};

}  // namespace kelvra
