#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace trovanex {
namespace {

// Paths of this test process only, so that a running program is never disturbed.
std::string TestPath(const std::string& name) {
  return "/tmp/instance-lock-test-" + std::to_string(::getpid()) + "/" + name;
}

TEST(InstanceLock, OneHolderPerPathUntilItIsDestroyed) {
  const std::string path = TestPath("trovanex");
  {
    InstanceLock first(path);
    ASSERT_TRUE(first.Held());
    EXPECT_FALSE(InstanceLock(path).Held());
    EXPECT_TRUE(InstanceLock(TestPath("other/trovanex")).Held());
  }
  EXPECT_TRUE(InstanceLock(path).Held());
}

TEST(InstanceLock, LongPathsThatDifferOnlyAtTheEndAreDifferentLocks) {
  const std::string folder = TestPath(std::string(200, 'f') + "/");
  InstanceLock first(folder + "trovanex-a");
  InstanceLock second(folder + "trovanex-b");
  EXPECT_TRUE(first.Held());
  EXPECT_TRUE(second.Held());
  EXPECT_FALSE(InstanceLock(folder + "trovanex-a").Held());
}

}  // namespace
}  // namespace trovanex
