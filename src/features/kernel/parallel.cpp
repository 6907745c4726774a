// How many threads the kernel may use (see fe_kernel.h).
#include "fe_kernel.h"

#include <thread>

#ifdef __linux__
#include <sched.h>
#endif

namespace movra::fe_kernel {

int available_cpus() {
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace movra::fe_kernel
