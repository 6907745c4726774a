// A window's readings grouped by a period or profile key.  Internal to the
// kernel.
#pragma once

#include "window_work.h"

#include <cstdint>

namespace movra::fe_kernel {

// Group g holds values[starts[g] .. starts[g + 1]), in reading order; the
// groups ascend by key.  The readings without a key are in none.
struct Groups {
    const double *values = nullptr;  // the window's own values when already grouped, else w.grouped
    const int64_t *starts = nullptr; // count + 1 boundaries
    const Scalar *keys = nullptr;    // each group's key, when asked for
    int64_t count = 0;
    bool any_missing = false;        // some reading has no key
    // The groups are runs of the window's own readings in their order,
    // every reading in one: pandas too then splits the readings where they
    // are rather than taking them out of order.
    bool in_place = false;
};

// Groups the readings [a, e) of `value` by `key`: by value, or, for a column
// of category codes (key.categories > 0), one group per category, also one
// without readings.  A narrowed key stands for the column's base plus the
// offset held.  Keys that ascend through the window, as the time axis
// and the periods that grow with it do, group in place; small integer
// ranges (weekdays, hours) are counted out; any other key is sorted.  Each
// key is read once, so a caller's column changed meanwhile by another
// thread gives a wrong grouping, never a read or write outside the buffers.
// The groups live in `w` until its next grouping.
Groups group_by_key(const Column &key, const double *value, int64_t a, int64_t e, bool want_keys, Work &w);

}  // namespace movra::fe_kernel
