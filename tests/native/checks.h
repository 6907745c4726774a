// The native tests' checks: each failed check is printed and counted, and
// main() reports the count as its exit status.
#pragma once

#include <cstdio>
#include <string>

namespace movra_tests {

inline int failures = 0;

inline void check(bool ok, const std::string &what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

// main()'s return: 0 when every check passed.
inline int report(const char *suite) {
    if (failures != 0) {
        std::fprintf(stderr, "%s: %d check(s) failed\n", suite, failures);
        return 1;
    }
    std::printf("%s: all checks passed\n", suite);
    return 0;
}

}  // namespace movra_tests
