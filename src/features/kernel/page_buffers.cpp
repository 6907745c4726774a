// Memory for the ordering's large buffers (see page_buffers.h).
#include "page_buffers.h"

#include "parallel.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C libraries lack the name, older kernels refuse it
#endif
#endif

namespace movra::fe_kernel {

namespace {
thread_local double making_present = 0;  // seconds_making_pages_present()
}  // namespace

double seconds_making_pages_present() { return making_present; }

void FreeBuffer::operator()(void *p) const {
#ifdef __linux__
    if (mapped > 0) {
        munmap(p, mapped);
        return;
    }
#endif
    std::free(p);
}

void MappedPages::advise(int threads, bool present) const {
#ifdef __linux__
    const int advice = present ? MADV_POPULATE_WRITE : MADV_DONTNEED;
    constexpr size_t kPiece = size_t{1} << 25;
    std::vector<std::pair<char *, size_t>> pieces;
    for (const auto &r : regions_)
        for (size_t at = 0; at < r.second; at += kPiece)
            pieces.emplace_back(r.first + at, std::min(kPiece, r.second - at));
    for_each_part(threads, static_cast<int64_t>(pieces.size()),
                  [&](int64_t k, int) { madvise(pieces[k].first, pieces[k].second, advice); });
#else
    static_cast<void>(threads);
    static_cast<void>(present);
#endif
}

Buffer<char> allocate_bytes(size_t bytes, int threads) {
    bytes = std::max<size_t>(1, bytes);
#ifdef __linux__
    if (bytes >= (size_t{1} << 22)) {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            Buffer<char> b(static_cast<char *>(p), FreeBuffer{bytes});
            MappedPages pages;
            pages.add(b);
            const auto started = std::chrono::steady_clock::now();
            pages.make_present(threads);
            making_present += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            return b;
        }
    }
#endif
    void *p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return Buffer<char>(static_cast<char *>(p));
}

}  // namespace movra::fe_kernel
