// A place in the source. std::source_location where the standard library
// provides it; clang before 15 lacks the builtin that libstdc++ needs for it,
// and gets a stand-in with the same accessors.
#pragma once

#include <cstdint>
#include <source_location>
#include <version>

namespace taglex {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE(),
                                          const char* function = __builtin_FUNCTION()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.line_ = line;
    where.function_ = function;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
};
#endif

}  // namespace taglex
