#include <gtest/gtest.h>
#include "entry/vxdmount.h"
#include "platform/sim/sim_machine.h"
TEST(Smoke, DefaultMount) {
    vxd::sim::Machine m;
    m.AddDrive('C', 0).AddDrive('D', 1);
    m.onLogin.drives = {{{'F', 2}, 1500}};
    EXPECT_EQ(CreateVXD("192.0.2.10", "3260", "iqn.2026-12.com.example:disk1", "", ""), 1);
    for (auto &c : m.Calls()) printf("%6llu %s\n", (unsigned long long)c.at, c.text.c_str());
    for (auto &t : m.Trace()) printf("T %6llu %s\n", (unsigned long long)t.at, t.text.c_str());
}
