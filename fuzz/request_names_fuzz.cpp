// The names of a one-key request: the name list cut at ";" and each name
// turned into a path under a transfer folder on the PC. The names come from
// the terminal, so no name may lead outside its folder.
//
// Input: the name list as the terminal would send it, any bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "RpcThread.h"
#include "fuzz_check.h"

namespace vork::fuzz {
namespace {

// Whether name has a ".." component, with either separator.
bool HasParentStep(std::string_view name) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '/' && name[i] != '\\')
      continue;
    if (name.substr(start, i - start) == "..")
      return true;
    start = i + 1;
  }
  return false;
}

void CheckName(std::string_view name) {
  const auto relative = kelvra::PcRelativeName(name);
  const bool must_refuse = name.find('\0') != std::string_view::npos ||
                           (!name.empty() && (name.front() == '/' || name.front() == '\\')) ||
                           HasParentStep(name);
  FUZZ_CHECK(relative.has_value() == !must_refuse);
  if (!relative)
    return;
  // The same name with "/" for every "\\", nothing else changed.
  std::string expected(name);
  std::replace(expected.begin(), expected.end(), '\\', '/');
  FUZZ_CHECK(*relative == expected);
  // Appended to a folder, it stays inside that folder.
  const std::filesystem::path folder = "/pc/Upload/";
  const std::string inside = (folder.string() + *relative);
  const std::string normal = std::filesystem::path(inside).lexically_normal().string();
  FUZZ_CHECK(normal.starts_with(folder.string()) || normal + "/" == folder.string());
}

}  // namespace
}  // namespace vork::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view list(reinterpret_cast<const char*>(data), size);
  const auto names = kelvra::SplitNames(list);
  // Every ";" separates two names; joined again they give the list.
  FUZZ_CHECK(names.size() ==
             static_cast<std::size_t>(std::count(list.begin(), list.end(), ';')) + 1);
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    FUZZ_CHECK(names[i].find(';') == std::string::npos);
    if (i > 0)
      joined += ';';
    joined += names[i];
  }
  FUZZ_CHECK(joined == list);
  for (const auto& name : names)
    vork::fuzz::CheckName(name);
  return 0;
}
