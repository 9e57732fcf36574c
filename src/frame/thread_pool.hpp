// Threads that share the work of one batch call.  One pool per process,
// started on first use, reused by every later call and joined by
// `stop_worker_threads` (at interpreter exit); a child process after `fork`
// starts its own.  A batch takes a WorkerTeam for its duration: the calling
// thread plus pool threads.  One team at a time holds the pool; a batch that
// finds it taken runs alone on its calling thread, which gives the same
// results.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#include "frame/function_ref.hpp"

namespace morvik3 {

// Cores the process may run on: its scheduler affinity, not the machine's
// count.  At least 1.
[[nodiscard]] std::size_t available_cores();

// The most threads a batch takes, whatever it asks for.
inline constexpr std::size_t max_team = 64;

// Threads for a batch that asks for `threads`: 0 means available_cores();
// at most max_team.
[[nodiscard]] std::size_t threads_for(std::uint64_t threads);

struct WorkerPool;  // the process's threads

class WorkerTeam {
  public:
    // The calling thread and up to wanted - 1 pool threads.
    explicit WorkerTeam(std::size_t wanted);
    ~WorkerTeam();
    WorkerTeam(const WorkerTeam&) = delete;
    WorkerTeam& operator=(const WorkerTeam&) = delete;

    [[nodiscard]] std::size_t size() const { return size_; }

    // Runs task(w) for every member w at once, w = 0 on the calling thread,
    // and returns once all are done.  Exceptions stay with each member: the
    // task catches its own.
    void run(FunctionRef<void(std::size_t)> task);

  private:
    std::size_t size_ = 1;
    WorkerPool* pool_ = nullptr;         // while size_ > 1
    std::unique_lock<std::mutex> hold_;  // the pool's, while size_ > 1
};

// Members of a team meeting between phases, phase after phase.  A member
// spins briefly, then sleeps: phases are short, but a member may wait for
// one that the system has descheduled.
class Barrier {
  public:
    explicit Barrier(std::size_t members) : members_(members) {}
    void arrive_and_wait();

  private:
    const std::size_t members_;
    std::atomic<std::size_t> arrived_{0};
    std::atomic<std::uint32_t> phase_{0};
};

// Rounds of a batch on a team: serial() on the calling thread, then
// parallel(w) on every member w, again and again until serial() answers
// false.  serial() sees every member's work of the round before; parallel
// sees what serial() did.  The first exception of any member ends the rounds
// and is rethrown here.
void run_rounds(WorkerTeam& team, FunctionRef<bool()> serial, FunctionRef<void(std::size_t)> parallel);

// Joins the pool's threads, once the team using it is done; the next team
// starts new ones.
void stop_worker_threads();

}  // namespace morvik3
