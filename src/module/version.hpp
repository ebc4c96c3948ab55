// The build's version, converted once per process to the interpreter's spelling.
#pragma once

#include <string>

namespace quorlin {

inline constexpr const char build_version[] = "0.1.1-alpha.1";
inline constexpr const char build_profile[] = "release";

// "-alpha.1" -> "a1", "-beta" -> "b", "-rc.2" -> "rc2"; other texts pass unchanged.
[[nodiscard]] std::string python_version_text(std::string version);

// The converted build version, computed on first use and kept.
[[nodiscard]] const std::string& converted_build_version();

}  // namespace quorlin
