// Ordering every reading of a table: dealt into buckets, then each bucket
// sorted in cache.
#pragma once

#include "ordering_plan.h"

#include <cstdint>

namespace movra::fe_kernel {

class Interruption;

// Sorts the readings 0 .. n (n < 2**32) by their keys, ties in time order
// where the key holds no time, else in reading order, and copies every
// column into that order, in passes that read and write memory in sequence
// instead of one random write per value and column.  Where the key holds
// the time, the time copy is rebuilt from the sorted keys instead.  `stop`
// is checked between the passes and now and then within each.
void deal_readings(int64_t n, const KeyPlan &keys, const Copies &copies, bool integer_time, int threads,
                   const Interruption &stop);

}  // namespace movra::fe_kernel
