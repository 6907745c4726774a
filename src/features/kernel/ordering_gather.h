// Ordering some of a table's readings: their numbers sorted, their values
// gathered.
#pragma once

#include "ordering_plan.h"

namespace movra::fe_kernel {

class Interruption;

// Sorts the wanted readings' numbers by their keys (a radix sort), each
// unit's by time where the key holds no time, ties in reading order, and
// gathers every column in that order.  This reads the table's columns at
// random but touches only the wanted readings: a few units of a big table.
// `stop` is checked now and then.
void gather_readings(const WantedReadings &wanted, const KeyPlan &keys, const Copies &copies, bool integer_time,
                     int threads, const Interruption &stop);

}  // namespace movra::fe_kernel
