#include "core/directories/buffer_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/directories/owned_bytes.h"

namespace zelvar::buffer_pool {
namespace {

constexpr size_t kKiB = 1024;

class BufferPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { release_all(); }
  void TearDown() override { release_all(); }
};

TEST_F(BufferPoolTest, SizesRoundUpToAnEighthOfTheirPowerOfTwo) {
  struct Case {
    size_t size;
    size_t class_size;
  };
  for (const Case c : {Case{64 * kKiB, 64 * kKiB}, Case{64 * kKiB + 1, 72 * kKiB}, Case{72 * kKiB, 72 * kKiB},
                       Case{127 * kKiB, 128 * kKiB}, Case{128 * kKiB + 1, 144 * kKiB},
                       Case{300 * kKiB, 320 * kKiB}, Case{kMaxPooled, kMaxPooled}}) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(class_size(c.size), c.class_size);
  }
}

TEST_F(BufferPoolTest, AGivenBufferServesTheNextRequestOfItsClass) {
  uint8_t* first = take(100 * kKiB);
  std::memset(first, 0xAB, class_size(100 * kKiB));  // the whole class is usable
  give(first, 100 * kKiB);
  EXPECT_EQ(retained_bytes(), class_size(100 * kKiB));

  // Another class is served afresh, and leaves the kept one alone.
  uint8_t* other = take(200 * kKiB);
  EXPECT_NE(other, first);
  give(other, 200 * kKiB);
  EXPECT_EQ(retained_bytes(), class_size(100 * kKiB) + class_size(200 * kKiB));

  // A size of the same class (100 KiB rounds up to 104 KiB).
  ASSERT_EQ(class_size(104 * kKiB), class_size(100 * kKiB));
  uint8_t* again = take(104 * kKiB);
  EXPECT_EQ(again, first);
  EXPECT_EQ(retained_bytes(), class_size(200 * kKiB));
  give(again, 104 * kKiB);
}

TEST_F(BufferPoolTest, KeepsOnlyPooledSizesAndAtMostItsBudget) {
  // Too small or too large: freed at once.
  for (size_t size : {size_t{1}, kMinPooled - 1, kMaxPooled + 1}) {
    SCOPED_TRACE(size);
    give(take(size), size);
    EXPECT_EQ(retained_bytes(), 0u);
  }
  // Many large buffers: the pool keeps what its budget allows.
  std::vector<uint8_t*> buffers;
  for (size_t i = 0; i < kMaxRetained / kMaxPooled + 2; ++i) buffers.push_back(take(kMaxPooled));
  for (uint8_t* buffer : buffers) give(buffer, kMaxPooled);
  EXPECT_EQ(retained_bytes(), kMaxRetained);
  release_all();
  EXPECT_EQ(retained_bytes(), 0u);
}

TEST_F(BufferPoolTest, OwnedBuffersComeBackWhenTheLastViewGoes) {
  uint8_t* bytes = nullptr;
  OwnedBytes whole = OwnedBytes::for_overwrite(256 * kKiB, bytes);
  std::memset(bytes, 7, 256 * kKiB);
  OwnedBytes part = whole.slice(10, 20);
  whole = OwnedBytes();
  EXPECT_EQ(retained_bytes(), 0u);
  EXPECT_EQ(part[0], 7);
  part = OwnedBytes();
  EXPECT_EQ(retained_bytes(), class_size(256 * kKiB));

  // A small buffer is an ordinary one.
  OwnedBytes small = OwnedBytes::for_overwrite(100, bytes);
  small = OwnedBytes();
  EXPECT_EQ(retained_bytes(), class_size(256 * kKiB));
}

TEST_F(BufferPoolTest, VectorsOfThePoolsAllocatorReuseItsBuffers) {
  const uint8_t* data = nullptr;
  {
    std::vector<uint64_t, Allocator<uint64_t>> v(20000, 1);
    data = reinterpret_cast<const uint8_t*>(v.data());
  }
  EXPECT_EQ(retained_bytes(), class_size(20000 * sizeof(uint64_t)));
  std::vector<uint64_t, Allocator<uint64_t>> w(20000, 2);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(w.data()), data);
  EXPECT_EQ(retained_bytes(), 0u);
}

TEST_F(BufferPoolTest, ThreadsShareThePool) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 2000; ++i) {
        const size_t size = kMinPooled + static_cast<size_t>((t * 7 + i) % 5) * 40 * kKiB;
        uint8_t* buffer = take(size);
        buffer[0] = static_cast<uint8_t>(t);
        buffer[size - 1] = static_cast<uint8_t>(i);
        if (buffer[0] != t || buffer[size - 1] != static_cast<uint8_t>(i)) ++wrong;
        give(buffer, size);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(retained_bytes(), kMaxRetained);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(BufferPoolTest, AKeptBufferIsPoisoned) {
  // A use after free of a buffer the pool keeps is still reported.
  uint8_t* buffer = take(kMinPooled);
  give(buffer, kMinPooled);
  EXPECT_DEATH(
      {
        volatile uint8_t byte = buffer[100];
        (void)byte;
      },
      "use-after-poison");
}
#endif

TEST_F(BufferPoolTest, ForkedChildStartsEmpty) {
  give(take(kMinPooled), kMinPooled);
  ASSERT_EQ(retained_bytes(), kMinPooled);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = retained_bytes() == 0 ? 0 : 1;
    uint8_t* buffer = take(kMinPooled);
    give(buffer, kMinPooled);
    if (retained_bytes() != kMinPooled) code |= 2;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(retained_bytes(), kMinPooled);
}

}  // namespace
}  // namespace zelvar::buffer_pool
