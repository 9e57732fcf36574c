#include "frame/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace morvik3 {

namespace {

// Busy-waiting rounds before a waiting thread goes to sleep: about the time
// a short phase of a batch takes.
constexpr int spin_rounds = 500;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Waits while `a` holds `old`: a short spin, then the kernel.
template <class T>
void wait_while(const std::atomic<T>& a, T old) {
    for (int i = 0; i < spin_rounds; ++i) {
        if (a.load(std::memory_order_acquire) != old) return;
        relax();
    }
    while (a.load(std::memory_order_acquire) == old) a.wait(old, std::memory_order_acquire);
}

}  // namespace

struct WorkerPool {
    std::mutex busy;  // held by the team using the pool
    std::vector<std::thread> threads;
    std::atomic<std::uint64_t> generation{0};  // one more for every job and for stopping
    FunctionRef<void(std::size_t)>* task = nullptr;
    std::size_t members = 0;  // team members of the current job, the calling thread included
    std::atomic<std::size_t> pending{0};
    bool stopping = false;

    // Every thread of the pool answers every job, a member of its team or
    // not: a thread left out of a small team could otherwise still be reading
    // `members` and `task` when the next job sets them, and take that job for
    // the one it woke for.
    void work(std::size_t index, std::uint64_t seen) {
        for (;;) {
            wait_while(generation, seen);
            seen = generation.load(std::memory_order_acquire);
            if (stopping) return;
            if (index < members) (*task)(index);
            if (pending.fetch_sub(1, std::memory_order_acq_rel) == 1) pending.notify_all();
        }
    }

    // Threads enough for a team of `wanted`; fewer when the system refuses
    // more.  Called with `busy` held.
    void grow(std::size_t wanted) {
        while (threads.size() + 1 < wanted) {
            try {
                threads.emplace_back([this, index = threads.size() + 1, seen = generation.load()] { work(index, seen); });
            } catch (const std::system_error&) {
                return;
            } catch (const std::bad_alloc&) {
                return;
            }
        }
    }

    void stop() {
        stopping = true;
        generation.fetch_add(1, std::memory_order_release);
        generation.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
};

namespace {

// The process's pool and the lock over creating and stopping it.  In a child
// of fork both are left behind as the parent had them: the pool's threads do
// not exist there.
std::mutex registry;
WorkerPool* pool = nullptr;

void forget_after_fork() {
    new (&registry) std::mutex();
    pool = nullptr;  // its threads live in the parent only; never joined, never freed
}

WorkerPool& the_pool() {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_after_fork); });
    if (pool == nullptr) pool = new WorkerPool();
    return *pool;
}

}  // namespace

std::size_t available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        const unsigned n = std::thread::hardware_concurrency();
        return n == 0 ? 1 : n;
    }
    const int n = CPU_COUNT(&set);
    return n < 1 ? 1 : static_cast<std::size_t>(n);
}

std::size_t threads_for(std::uint64_t threads) {
    const std::uint64_t wanted = threads == 0 ? available_cores() : threads;
    return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, max_team));
}

WorkerTeam::WorkerTeam(std::size_t wanted) {
    if (wanted <= 1) return;
    std::lock_guard guard(registry);
    WorkerPool& p = the_pool();
    std::unique_lock hold(p.busy, std::try_to_lock);
    if (!hold.owns_lock()) return;  // another batch has the pool: this one runs alone
    p.grow(wanted);
    size_ = std::min(wanted, p.threads.size() + 1);
    if (size_ == 1) return;
    pool_ = &p;
    hold_ = std::move(hold);
}

WorkerTeam::~WorkerTeam() = default;

void WorkerTeam::run(FunctionRef<void(std::size_t)> task) {
    if (size_ == 1) {
        task(0);
        return;
    }
    WorkerPool& p = *pool_;
    p.task = &task;
    p.members = size_;
    p.pending.store(p.threads.size(), std::memory_order_relaxed);
    p.generation.fetch_add(1, std::memory_order_release);
    p.generation.notify_all();
    task(0);
    for (std::size_t left = p.pending.load(std::memory_order_acquire); left != 0;
         left = p.pending.load(std::memory_order_acquire))
        wait_while(p.pending, left);
}

void Barrier::arrive_and_wait() {
    const std::uint32_t phase = phase_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == members_) {
        arrived_.store(0, std::memory_order_relaxed);
        phase_.fetch_add(1, std::memory_order_release);
        phase_.notify_all();
        return;
    }
    wait_while(phase_, phase);
}

void run_rounds(WorkerTeam& team, FunctionRef<bool()> serial, FunctionRef<void(std::size_t)> parallel) {
    if (team.size() == 1) {
        while (serial()) parallel(0);
        return;
    }
    Barrier barrier(team.size());
    bool go = false;
    std::atomic<bool> failed{false};
    std::mutex error_lock;
    std::exception_ptr error;
    auto keep = [&] {
        std::lock_guard guard(error_lock);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
    };
    team.run([&](std::size_t w) {
        for (;;) {
            if (w == 0) {
                try {
                    go = !failed.load(std::memory_order_relaxed) && serial();
                } catch (...) {
                    keep();
                    go = false;
                }
            }
            barrier.arrive_and_wait();
            if (!go) return;
            try {
                parallel(w);
            } catch (...) {
                keep();
            }
            barrier.arrive_and_wait();
        }
    });
    if (error) std::rethrow_exception(error);
}

void stop_worker_threads() {
    std::lock_guard guard(registry);
    if (pool == nullptr) return;
    {
        std::lock_guard hold(pool->busy);
        pool->stop();
    }
    delete pool;
    pool = nullptr;
}

}  // namespace morvik3
