// A program that calls the machine's API with no machine installed is stopped with a message,
// instead of being handed a machine nobody set up.
#include <gtest/gtest.h>

#include "sim/machine.h"

TEST(MachineDeathTest, NoneInstalledStopsTheCall) {
  ASSERT_FALSE(sim::HasMachine());
  EXPECT_DEATH(Sleep(1), "was called with no machine installed");
  WCHAR path[8];
  EXPECT_DEATH(GetModuleFileNameW(nullptr, path, 8),
               "GetModuleFileNameW was called with no machine installed");
}
