#include "frame/batch.hpp"

#include <new>
#include <vector>

namespace morvik3 {

namespace {

// Rows per block: enough that the meetings between rounds are a small share
// of a round's work.
constexpr std::size_t scored_block = 128;

}  // namespace

Result<void> score_in_blocks(WorkerTeam& team, std::size_t count, std::size_t width,
                             FunctionRef<Result<void>(std::size_t, std::span<float>)> take,
                             FunctionRef<double(std::size_t, std::span<const float>)> value, std::span<double> scores,
                             std::size_t& done) {
    std::vector<float> queries;
    try {
        allocating([&] { queries.resize(scored_block * width); });
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::out_of_memory(""));
    }
    Result<void> error;
    std::size_t start = 0, taken = 0;
    done = 0;
    run_rounds(
        team,
        [&] {
            done = start + taken;
            if (!error || done == count) return false;
            start = done;
            taken = 0;
            while (taken < scored_block && start + taken < count) {
                error = take(start + taken, std::span<float>(queries.data() + taken * width, width));
                if (!error) break;
                ++taken;
            }
            return taken > 0;
        },
        [&](std::size_t w) {
            const auto [first, last] = share_of(taken, w, team.size());
            for (std::size_t k = first; k < last; ++k)
                scores[start + k] = value(w, std::span<const float>(queries.data() + k * width, width));
        });
    return error;
}

}  // namespace morvik3
