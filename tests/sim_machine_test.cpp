#include <gtest/gtest.h>
#include "platform/sim/sim_machine.h"
TEST(Placeholder, Builds) { vxd::sim::Machine m; EXPECT_EQ(m.Now(), 0u); }
