// The one owner of every kind of handle: closed once, never for the kind's "no handle" value.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "platform/unique_handle.h"

namespace vxd {
namespace {

// A kind whose "no handle" is -1, as INVALID_HANDLE_VALUE is: 0 is a handle like any other.
std::vector<int> closed;
struct MinusOneTraits {
    using Value = int;
    static Value Invalid() { return -1; }
    static void Close(Value handle) { closed.push_back(handle); }
};
using UniqueMinusOne = UniqueAny<MinusOneTraits>;

TEST(UniqueHandle, ClosesEachHandleOnceAndNeverItsKindsNoHandleValue) {
    closed.clear();
    {
        const UniqueMinusOne none;
        const UniqueMinusOne failed(-1);
        const UniqueMinusOne zero(0);
        EXPECT_FALSE(none);
        EXPECT_FALSE(failed);
        EXPECT_TRUE(zero);
    }
    EXPECT_EQ(closed, std::vector<int>{0});

    closed.clear();
    {
        UniqueMinusOne first(7);
        UniqueMinusOne second(std::move(first));
        // NOLINTNEXTLINE(bugprone-use-after-move): what a move leaves behind is the point here.
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), 7);
        second = UniqueMinusOne(8); // the handle it held is closed as it takes the new one
        EXPECT_EQ(closed, std::vector<int>{7});
        *second.put() = 9; // an out parameter: what was held is closed first
        EXPECT_EQ(closed, (std::vector<int>{7, 8}));
        EXPECT_EQ(second.release(), 9);
        EXPECT_FALSE(second);
    }
    EXPECT_EQ(closed, (std::vector<int>{7, 8}));
}

TEST(UniqueHandle, PlatformFileHandleClosesThroughThePlatform) {
    sim::Machine machine;
    machine.AddDrive('C', 0);
    {
        const platform::UniqueFileHandle volume(
            platform::CreateFileA("\\\\.\\C:", 0, 0, nullptr, platform::kOpenExisting, 0, nullptr));
        const platform::UniqueFileHandle missing(
            platform::CreateFileA("\\\\.\\Q:", 0, 0, nullptr, platform::kOpenExisting, 0, nullptr));
        EXPECT_TRUE(volume);
        EXPECT_FALSE(missing);
        EXPECT_EQ(machine.OpenHandles(), 1u);
    }
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.CallsTo("CloseHandle").size(), 1u);
    EXPECT_TRUE(machine.Faults().empty());
}

} // namespace
} // namespace vxd
