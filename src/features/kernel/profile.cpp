// Where a call's time goes (see profile.h).
#include "profile.h"

#include <cstdio>

namespace movra::fe_kernel {

const char *StageTimes::name(int stage) {
    static const char *const names[kCount] = {
        "ordering: unit codes", "ordering: plan", "ordering: moving readings", "ordering: blocks",
        "ordering: of which new pages",
        "grouping", "period aggregates", "lag pairs", "correlations",
        "masking and extremes", "sums and moments", "median and quartiles", "records",
    };
    return stage >= 0 && stage < kCount ? names[stage] : "?";
}

StageTimes &StageTimes::operator+=(const StageTimes &more) {
    for (int s = 0; s < kCount; s++) seconds[s] += more.seconds[s];
    return *this;
}

CallProfile::CallProfile(const char *path) : path_(path ? path : ""), last_(std::chrono::steady_clock::now()) {}

void CallProfile::lap(const char *stage) {
    if (!on()) return;
    const auto now = std::chrono::steady_clock::now();
    stages_.emplace_back(stage, std::chrono::duration<double>(now - last_).count());
    last_ = now;
}

void CallProfile::add(const StageTimes &kernel) {
    if (!on()) return;
    for (int s = 0; s < StageTimes::kCount; s++) stages_.emplace_back(StageTimes::name(s), kernel.seconds[s]);
}

void CallProfile::write() const {
    if (!on()) return;
    std::string line = "{";
    for (size_t i = 0; i < stages_.size(); i++) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.6f", stages_[i].second);
        line += (i ? ", \"" : "\"") + stages_[i].first + "\": " + seconds;
    }
    line += "}\n";
    if (std::FILE *f = std::fopen(path_.c_str(), "a")) {
        std::fputs(line.c_str(), f);
        std::fclose(f);
    }
}

}  // namespace movra::fe_kernel
