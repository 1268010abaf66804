// The one-key request collector fed arbitrary batches of bytes, as the
// listening port delivers them. A request completes exactly when a batch
// leaves the collected bytes ending with "#", and then it is every byte
// received since the last request, nothing lost, nothing added.
//
// Input: batches of any bytes, their lengths decided by the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "RequestCollector.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  kelvra::RequestCollector collector;
  std::string pending;  // what the collector should hold
  while (input.remaining_bytes() > 0) {
    const std::string batch = input.ConsumeRandomLengthString(512);
    collector.Add(batch);
    pending += batch;
    const auto request = collector.TakeIfComplete();
    const bool complete = !pending.empty() && pending.back() == '#';
    FUZZ_CHECK(request.has_value() == complete);
    if (complete) {
      FUZZ_CHECK(*request == pending);
      pending.clear();
    }
    FUZZ_CHECK(collector.collected() == pending);
  }
  return 0;
}
