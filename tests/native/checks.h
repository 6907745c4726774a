// What a native test program needs besides its cases: a check that counts
// and names its failures, and the summary the program ends with.
#pragma once

#include <cstdio>
#include <string>

namespace native_test {

inline int failures = 0;

inline void check(bool ok, const std::string &what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

// The program's exit status, after a line saying how it went.
inline int summary(const char *program) {
    if (failures) {
        std::fprintf(stderr, "%s: %d check(s) failed\n", program, failures);
        return 1;
    }
    std::printf("%s: all checks passed\n", program);
    return 0;
}

}  // namespace native_test
