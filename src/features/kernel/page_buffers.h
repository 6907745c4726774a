// Memory for the ordering's large buffers, and the pages behind them.
//
// A page's first touch is the system zeroing it, and giving it back is work
// of the same kind, each costing as much as copying into the page: large
// buffers are mapped, and their pages made present or given back in a few
// requests shared among the threads rather than one fault at a time.
#pragma once

#include "fe_kernel.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace movra::fe_kernel {

// The mapped bytes of large buffers, whose pages the threads make present
// or give back together, in pieces.
class MappedPages {
public:
    template <class T>
    void add(const Buffer<T> &b) {
        if (b && b.get_deleter().mapped > 0)
            regions_.emplace_back(reinterpret_cast<char *>(b.get()), b.get_deleter().mapped);
    }
    void make_present(int threads) const { advise(threads, true); }  // where refused: on first touch
    void give_back(int threads) const { advise(threads, false); }    // unmapping is then cheap

private:
    void advise(int threads, bool present) const;

    std::vector<std::pair<char *, size_t>> regions_;
};

// The seconds this thread has spent so far having pages made present for
// buffers (for the threads' shared requests, their wall time): on a virtual
// machine much of the ordering's time.
double seconds_making_pages_present();

// `bytes` bytes (at least 1), uninitialised; see buffer().
Buffer<char> allocate_bytes(size_t bytes, int threads);

// n values of T, uninitialised.  Large buffers are mapped with their pages
// made present in a few requests: touching fresh pages one fault at a time
// costs far more (in virtual machines above all), and the copies into
// reading order write to them all over.  Huge pages are not asked for:
// where the host must assemble them, the first touch of each stalls.
// `threads` share the work of making the pages present.
template <class T>
Buffer<T> buffer(int64_t n, int threads = 1) {
    Buffer<char> bytes = allocate_bytes(static_cast<size_t>(n) * sizeof(T), threads);
    const FreeBuffer free = bytes.get_deleter();
    return Buffer<T>(reinterpret_cast<T *>(bytes.release()), free);
}

}  // namespace movra::fe_kernel
