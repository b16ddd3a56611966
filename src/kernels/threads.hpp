// Work spread over the machine's cores: how many threads a job takes, and one
// way of running its tasks on them. A thread that cannot be had (the process
// is out of them) leaves its tasks to the others; the calling thread always
// takes part, so the work is done whatever the machine allows. No Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace zv::kern {

// Marks the calling thread as batch work: woken, it waits for its turn instead of preempting
// the thread it shares a core with, and keeps its fair share of the CPU. For the helpers of a
// pass whose critical path is another thread (a page's counting thread): on a machine with
// fewer cores than threads, every frame's hand-off would otherwise take that thread off its core.
inline void run_as_batch() {
#if defined(__linux__) && defined(SCHED_BATCH)
    sched_param none{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);  // a hint: refused, nothing changes
#endif
}

// Threads for one job: the machine's cores, at most eight.
inline size_t cores() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }

// The threads a job adds to its own, taken from one share per process of cores() - 1:
// jobs that each ask for cores() at the same time (readers on several Python threads)
// then run no more threads together than the machine has cores. Returned on destruction.
class ThreadShare {
public:
    explicit ThreadShare(size_t want) {
        size_t free = spare().load();
        const size_t ask = want > 1 ? want - 1 : 0;
        while (!spare().compare_exchange_weak(free, free - std::min(free, ask))) {
        }
        taken_ = std::min(free, ask);
    }
    ThreadShare(const ThreadShare&) = delete;
    ThreadShare& operator=(const ThreadShare&) = delete;
    ~ThreadShare() { spare() += taken_; }

    // This thread and the ones taken.
    size_t threads() const { return 1 + taken_; }

private:
    static std::atomic<size_t>& spare() {
        static std::atomic<size_t> n{cores() - 1};
        return n;
    }
    size_t taken_ = 0;
};

// Runs task(0) .. task(n - 1), each once, on up to `threads` threads (this one
// included); tasks are taken in increasing order, so a task may wait for an
// earlier one. Returns when every task is done.
template <typename Task>
void run_tasks(size_t n, size_t threads, Task&& task) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t k; (k = next.fetch_add(1)) < n;) task(k);
    };
    threads = std::max<size_t>(1, std::min(threads, n));
    std::vector<std::thread> pool;
    try {
        for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    } catch (...) {  // no thread to be had: the ones running do the rest
    }
    work();
    for (auto& t : pool) t.join();
}

}  // namespace zv::kern
