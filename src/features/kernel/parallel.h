// Worker threads that live only within one call.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace movra::fe_kernel {

// Runs task(part, worker) for every part in [0, parts) on up to `threads`
// threads, the calling thread among them; parts are handed out in order as
// workers become free.  Returns once every thread has been joined, also when
// a task throws: the first exception is then rethrown on the calling thread
// and the parts not yet started are skipped.
template <class Task>
void for_each_part(int threads, int64_t parts, Task &&task) {
    const int workers = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, parts)));
    if (workers == 1) {
        for (int64_t p = 0; p < parts; p++) task(p, 0);
        return;
    }
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_lock;
    auto work = [&](int worker) {
        try {
            for (int64_t p; !failed.load(std::memory_order_relaxed) && (p = next.fetch_add(1)) < parts;)
                task(p, worker);
        } catch (...) {
            std::lock_guard<std::mutex> hold(error_lock);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    {
        // Joined on every path out of this block, a failed start included.
        struct Joined {
            std::vector<std::thread> threads;
            ~Joined() {
                for (auto &t : threads) t.join();
            }
        } pool;
        pool.threads.reserve(static_cast<size_t>(workers - 1));
        try {
            for (int w = 1; w < workers; w++) pool.threads.emplace_back(work, w);
        } catch (const std::system_error &) {
            // No more threads to be had: those started and this one do the work.
        }
        work(0);
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace movra::fe_kernel
