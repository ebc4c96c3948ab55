#include "module/version.hpp"

#include <utility>

namespace quorlin {

namespace {

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

std::string python_version_text(std::string version) {
    // The dotted form of each marker goes first, so "-alpha.1" and "-alpha1" agree.
    static const std::pair<const char*, const char*> replacements[] = {
        {"-alpha.", "a"}, {"-alpha", "a"}, {"-beta.", "b"}, {"-beta", "b"}, {"-rc.", "rc"}, {"-rc", "rc"},
    };
    for (const auto& [from, to] : replacements) replace_all(version, from, to);
    return version;
}

const std::string& converted_build_version() {
    static const std::string converted = python_version_text(build_version);
    return converted;
}

}  // namespace quorlin
