// vxdhost's check: what it tells an administrator about a failed request.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tools/vxdhost/statuses.h"

namespace vxdhost {
namespace {

// code -> name, from the published list kept in tests/data.
std::map<std::uint32_t, std::string> PublishedStatuses() {
    std::map<std::uint32_t, std::string> statuses;
    std::ifstream file(VXD_SOURCE_DIR "/tests/data/iscsi-discovery-statuses.tsv");
    EXPECT_TRUE(file.is_open());
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string code;
        std::string name;
        fields >> code >> name;
        EXPECT_TRUE(statuses.emplace(std::stoul(code, nullptr, 16), name).second) << line;
    }
    return statuses;
}

TEST(DiscoveryStatuses, TableHoldsEveryPublishedStatusOnceAndNothingElse) {
    std::map<std::uint32_t, std::string> unmatched = PublishedStatuses();
    ASSERT_EQ(unmatched.size(), 104u);
    for (const DiscoveryStatus &status : DiscoveryStatuses()) {
        const auto published = unmatched.find(status.code);
        ASSERT_TRUE(published != unmatched.end())
            << std::hex << status.code << " " << status.name << ": not published, or twice";
        EXPECT_EQ(status.name, published->second);
        unmatched.erase(published);

        EXPECT_EQ(FindDiscoveryStatus(status.code), &status) << status.name;
        // A clause that vxdhost puts after "NAME (CODE): ".
        const std::string meaning = status.meaning;
        ASSERT_FALSE(meaning.empty()) << status.name;
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(meaning.front()))) << meaning;
        EXPECT_NE(meaning.back(), '.') << meaning;
    }
    EXPECT_TRUE(unmatched.empty()) << unmatched.size() << " published statuses are missing";
}

TEST(DiscoveryStatuses, TextNamesTheCodeAndItsMeaningOrIsEmpty) {
    EXPECT_EQ(DiscoveryStatusText(0xEFFF003E),
              "ISDSC_SERVICE_NOT_RUNNING (0xEFFF003E): the Microsoft iSCSI Initiator service "
              "(MSiSCSI) is not running");
    EXPECT_EQ(
        DiscoveryStatusText(0xAFFF002E).rfind("ISDSC_OPERATION_NOT_ALL_SUCCESS (0xAFFF002E): ", 0),
        0u);
    // Windows' own codes, and a discovery code with the warnings' high word, are not ours.
    for (std::uint32_t code : {0x0u, 0x5u, 0xEFFF0000u, 0xEFFF0069u, 0xAFFF003Eu}) {
        EXPECT_EQ(FindDiscoveryStatus(code), nullptr) << std::hex << code;
        EXPECT_EQ(DiscoveryStatusText(code), "") << std::hex << code;
    }
}

} // namespace
} // namespace vxdhost
