// The thread count a job takes from the environment, and the allowance of
// worker threads all jobs share.
#include <gtest/gtest.h>

#include <algorithm>

#include "files.h"
#include "parallel/threads.h"
#include "platform/platform.h"

namespace {

using quorvane::parallel::ConfiguredThreads;
using quorvane::parallel::TWorkerGrant;

TEST(Threads, CountComesFromTheEnvironmentOrTheMachine) {
  const int machine = std::clamp(platform::ProcessorCount(), 1, 16);
  const struct {
    const char* value;
    int threads;
  } cases[] = {{"", machine},  {"0", machine}, {"-3", machine}, {"two", machine},
               {"4x", machine}, {"1", 1},      {"8", 8},        {"65", 64},
               {"99999999999", 64}};
  for (const auto& c : cases) {
    qvtest::ScopedEnv env("QUORVANE_THREADS", c.value);
    EXPECT_EQ(ConfiguredThreads(), c.threads) << '"' << c.value << '"';
  }
}

TEST(Threads, JobsAtOnceShareOneAllowance) {
  qvtest::ScopedEnv env("QUORVANE_THREADS", "3");
  TWorkerGrant first = TWorkerGrant::Take(2);
  TWorkerGrant second = TWorkerGrant::Take(2);
  EXPECT_EQ(first.count(), 2);
  EXPECT_EQ(second.count(), 1);
  EXPECT_EQ(TWorkerGrant::Take(5).count(), 0);
  first.Release();
  EXPECT_EQ(TWorkerGrant::Take(5).count(), 2);
}

}  // namespace
