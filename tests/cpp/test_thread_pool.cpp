#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>

#include "frame/thread_pool.hpp"

namespace {

using morvik3::WorkerTeam;

// Teams of changing sizes, one job after another on the same pool: each job
// runs every member's share exactly once and nothing beyond its team, even
// when a thread left out of a small team wakes late for it.
TEST(ThreadPool, EveryJobRunsEachMemberOnceWhateverTheTeamSizesBefore) {
    constexpr std::array<std::size_t, 6> sizes{4, 2, 3, 1, 4, 2};
    for (int job = 0; job < 3000; ++job) {
        WorkerTeam team(sizes[job % sizes.size()]);
        std::array<std::atomic<int>, morvik3::max_team> runs{};
        team.run([&](std::size_t w) { runs[w].fetch_add(1, std::memory_order_relaxed); });
        for (std::size_t w = 0; w < runs.size(); ++w)
            ASSERT_EQ(runs[w].load(), w < team.size() ? 1 : 0) << "job " << job << ", member " << w;
    }
    morvik3::stop_worker_threads();
}

}  // namespace
