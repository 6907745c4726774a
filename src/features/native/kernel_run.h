// Running the kernel over a call's windows: its threads, the ordering of
// the readings, and the windows' records under fe4ts's progress bar.
#pragma once

#include "../../native/interrupts.h"
#include "examination.h"

#include <memory>
#include <vector>

namespace movra::fe4ts_layer {

// The kernel's threads for a call that reads `readings`: MOVRA_NUM_THREADS
// when set (read at every call), else the processors this process may run
// on, fewer where the readings are too few to repay starting threads;
// ValueError for a setting that is not a whole number from 1 to 1024.
int kernel_threads(int64_t readings);

// The kernel over the readings ordered.  No signal handler runs while the
// caller's columns are read (native/interrupts.h): Ctrl-C, pressed meanwhile,
// gives the ordering up and raises KeyboardInterrupt.  `ctrl_c` is made
// before the table is first read.
std::unique_ptr<k::Kernel> ordered_kernel(const k::Table &table, int threads, const CtrlC &ctrl_c);

// Why the windows' readings cannot be cut as the pandas path cuts them, or
// nothing: a count bound among equal times, or float32 readings at equal
// times, whose sums depend on the order the pandas path's sort leaves (or
// readings in Arrow chunks that the kernel reordered).
Reason cut_step(const Context &cx, const k::Kernel &kernel, const k::Table &table,
                const std::vector<k::Window> &windows, const k::Options &options);

// One record per window, under a progress bar with the windows' count;
// the kernel is released before the bar closes.  Over readings in order,
// read where they lie, nothing of Python runs from the ordering to the last
// window (but Ctrl-C is heard), and the bar shows once they are done.
// `stages`, when given, receives the kernel's stage times (Options::profile
// asks for them).
k::Result run_windows(Call &c, std::unique_ptr<k::Kernel> kernel, const std::vector<k::Window> &windows,
                      const k::Options &options, const CtrlC &ctrl_c, k::StageTimes *stages = nullptr);

}  // namespace movra::fe4ts_layer
