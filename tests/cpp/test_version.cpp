#include "module/version.hpp"

#include <gtest/gtest.h>

namespace quorlin {
namespace {

TEST(VersionText, ConvertsPreReleaseMarkers) {
    const std::pair<const char*, const char*> cases[] = {
        {"0.1.1-alpha.1", "0.1.1a1"}, {"0.1.1-alpha1", "0.1.1a1"}, {"1.0.0-beta.2", "1.0.0b2"},
        {"1.0.0-beta", "1.0.0b"},     {"2.0.0-rc.1", "2.0.0rc1"},  {"2.0.0-rc3", "2.0.0rc3"},
        {"3.1.4", "3.1.4"},           {"", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(python_version_text(input), expected) << input;
}

TEST(VersionText, BuildVersionIsConvertedOnce) {
    const std::string& first = converted_build_version();
    EXPECT_EQ(first, "0.1.1a1");
    EXPECT_EQ(&first, &converted_build_version());
}

}  // namespace
}  // namespace quorlin
