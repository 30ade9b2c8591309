#include "unit/TestSupport.h"

#include "manifest/Manifest.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <chrono>
#include <string>

namespace {

// Nine levels of ten references each: fully expanded, 3 * 10^9 characters.
std::string NestedEntities() {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE update [\n  <!ENTITY e0 \"lol\">\n";
    for (int level = 1; level <= 9; ++level) {
        doc += "  <!ENTITY e" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i) {
            doc += "&e" + std::to_string(level - 1) + ";";
        }
        doc += "\">\n";
    }
    return doc + "]>\n";
}

SIZE_T PeakMemory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return 0;
    }
    return counters.PeakWorkingSetSize;
}

struct HostileCase {
    const char* name;
    std::string body;
};

void PrintTo(const HostileCase& row, std::ostream* out) {
    *out << row.name;
}

const HostileCase kHostile[] = {
    {"ExpansionInContent", "<update>&e9;</update>\n"},
    {"ExpansionInAttributeValue", "<update><file path=\"&e9;\" size=\"1\" md5=\"m\" src=\"s\"/></update>\n"},
};

class HostileManifest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileManifest, NestedEntityExpansionIsRefusedQuicklyAndSmall) {
    ScratchDirectory scratch;
    WriteBytes(L"manifest.xml", NestedEntities() + GetParam().body);
    const SIZE_T peakBefore = PeakMemory();
    ASSERT_NE(peakBefore, 0u) << "the platform reports no memory use";
    const auto start = std::chrono::steady_clock::now();

    Manifest manifest;
    EXPECT_FALSE(LoadManifest(manifest, L"manifest.xml"));

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_LT(PeakMemory() - peakBefore, SIZE_T{64} << 20);
    EXPECT_TRUE(manifest.entries.empty());
}

INSTANTIATE_TEST_SUITE_P(Documents, HostileManifest, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

}  // namespace
