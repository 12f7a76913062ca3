#include <gtest/gtest.h>
#include <kov02/ce.h>

#include <algorithm>

namespace kov02::kernel {
namespace {

TEST(Heap, LocalAllocZeroFillsWhenAsked) {
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::count(block, block + 64, 0), 64);
  EXPECT_EQ(LocalFree(block), nullptr);
  void* empty = LocalAlloc(LPTR, 0);
  EXPECT_NE(empty, nullptr);
  LocalFree(empty);
}

}  // namespace
}  // namespace kov02::kernel
