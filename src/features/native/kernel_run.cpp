// Running the kernel over a call's windows (kernel_run.h).
#include "kernel_run.h"

#include "../../module/progress.h"
#include "../fe4ts_native.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace movra::fe4ts_layer {

namespace {

constexpr int64_t kWindowsPerStep = 512;  // progress and interrupt granularity
// Readings in order move no bar: their steps only wait for Ctrl-C, and each
// step ends with the threads waiting for the last of them.
constexpr int64_t kWindowsPerQuietStep = 4096;

// A status as a message names it.
const char *status_name(k::Kernel::Status status) {
    switch (status) {
        case k::Kernel::Status::Ok:
            return "Ok";
        case k::Kernel::Status::Ambiguous:
            return "Ambiguous (a cut between readings of equal time)";
        case k::Kernel::Status::BadOptions:
            return "BadOptions (options the kernel refuses)";
    }
    return "unknown";
}

}  // namespace

namespace {

// Starting and joining worker threads, and sharing the work out, costs as
// much as tens of thousands of readings' work: two threads were no faster
// than one on 33,000 readings (3 ms).  By default a call takes one more
// thread per this many readings it reads.
constexpr int64_t kReadingsPerThread = int64_t{1} << 15;

}  // namespace

int kernel_threads(int64_t readings) {
    const char *text = std::getenv("MOVRA_NUM_THREADS");
    if (text == nullptr || *text == '\0')
        return static_cast<int>(
            std::clamp<int64_t>(readings / kReadingsPerThread, 1, fe_kernel::available_cpus()));
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < 1 || n > 1024)
        throw py::value_error(std::string("MOVRA_NUM_THREADS must be a whole number from 1 to 1024, not '") + text +
                              "'");
    return static_cast<int>(n);
}

// The ordering reads the caller's columns on several threads, with the
// interpreter lock held so that no Python thread changes them meanwhile.
// For the same reason no signal handler runs until it is done; Ctrl-C alone
// gives it up.  Reordered readings are the kernel's own copies, so the
// handlers pending run at once; readings in order are read where they lie
// until the last window is done (run_windows).
std::unique_ptr<k::Kernel> ordered_kernel(const k::Table &table, int threads, const CtrlC &ctrl_c) {
    auto kernel = std::make_unique<k::Kernel>(table, [&ctrl_c] { return ctrl_c.pressed(); }, threads);
    if (kernel->interrupted()) {
        kernel.reset();
        ctrl_c.raise_interrupt();
    }
    if (kernel->reordered()) check_interrupts();
    return kernel;
}

Reason cut_step(const Context &cx, const k::Kernel &kernel, const k::Table &table,
                const std::vector<k::Window> &windows, const k::Options &options) {
    // Chunks are given for readings pandas leaves in their order, as the
    // kernel's ordering should too.
    if (!table.chunks.empty() && kernel.reordered())
        return "the kernel ordered the readings otherwise than pandas, which keeps the value column's Arrow "
               "chunks in their order";
    const bool narrow = options.precision != k::Precision::Float64;
    for (const k::Window &w : windows) {
        const k::Range range = kernel.locate(w);
        if (range.ambiguous)
            return "a FORWARD_R or BACKWARD_R cut falls between readings of equal time, which only the "
                   "pandas path's sort orders";
        if (narrow && kernel.repeats_time(range))
            return "the value column " + text_of(cx.args.value) + " (" +
                   utf8(py::str(cx.args.column(cx.args.value).attr("dtype"))) +
                   ") has readings of a window at equal times, which the pandas path's sort may "
                   "order otherwise, and float32 sums depend on the order" + float64_hint(cx);
    }
    return {};
}

namespace {

// Runs windows[from .. from + count) into `result`.  Every window was
// located by cut_step, so none is ambiguous here; a run that stops anyway
// would leave records out, so it raises (RuntimeError) rather than return a
// shorter table.
void run_step(k::Kernel &kernel, const std::vector<k::Window> &windows, int64_t from, int64_t count,
              const k::Options &options, k::Result &result) {
    const k::Kernel::Status status = kernel.run(windows.data() + from, count, options, result);
    if (status != k::Kernel::Status::Ok)
        throw std::runtime_error(std::string("the feature kernel stopped with status ") + status_name(status) +
                                 " after " + std::to_string(result.windows) + " of " +
                                 std::to_string(windows.size()) + " windows");
}

// Over the kernel's own copies: the runs give up the interpreter lock, and
// between two of them the bar moves and signal handlers run.
k::Result run_on_copies(ProgressBar &bar, k::Kernel &kernel, const std::vector<k::Window> &windows,
                        const k::Options &options) {
    const int64_t nwindows = static_cast<int64_t>(windows.size());
    k::Result result;
    for (int64_t from = 0; from < nwindows; from += kWindowsPerStep) {
        const int64_t count = std::min(kWindowsPerStep, nwindows - from);
        {
            py::gil_scoped_release unlocked;
            run_step(kernel, windows, from, count, options, result);
        }
        if (from == 0) result.reserve_like_these(nwindows);
        check_interrupts();
        bar.update(count);
    }
    return result;
}

// Over the caller's buffers, readings in order: a signal handler run
// between two runs could change them, and the table would hold records of
// both versions; so could anything the bar calls (tqdm is Python code, in
// which pending handlers run).  Neither runs before the last window is
// done, nor does the lock go, so that no Python thread changes them either.
// Ctrl-C is looked at between runs.  The ways out that keep the bar moving
// cost more: a copy of the columns takes about a fifth of the windows' own
// time, and checking them again afterwards means comparing them with such
// a copy.
k::Result run_in_place(k::Kernel &kernel, const std::vector<k::Window> &windows, const k::Options &options,
                       const CtrlC &ctrl_c) {
    const int64_t nwindows = static_cast<int64_t>(windows.size());
    k::Result result;
    for (int64_t from = 0; from < nwindows; from += kWindowsPerQuietStep) {
        run_step(kernel, windows, from, std::min(kWindowsPerQuietStep, nwindows - from), options, result);
        if (from == 0) result.reserve_like_these(nwindows);
        if (ctrl_c.pressed()) ctrl_c.raise_interrupt();
    }
    return result;
}

}  // namespace

k::Result run_windows(Call &c, std::unique_ptr<k::Kernel> kernel, const std::vector<k::Window> &windows,
                      const k::Options &options, const CtrlC &ctrl_c, k::StageTimes *stages) {
    const py::ssize_t nwindows = static_cast<py::ssize_t>(windows.size());
    // The stage times taken, the kernel and its copies are let go before
    // the bar closes.
    auto release = [&] {
        if (stages) *stages = kernel->stage_times();
        kernel.reset();
    };
    k::Result result;
    if (kernel->reordered()) {
        ProgressBar bar(c, nwindows, kFe4tsProgress);
        result = run_on_copies(bar, *kernel, windows, options);
        release();
        bar.close();
    } else {
        result = run_in_place(*kernel, windows, options, ctrl_c);
        release();
        ProgressBar bar(c, nwindows, kFe4tsProgress);
        bar.update(nwindows);
        bar.close();
        check_interrupts();
    }
    return result;
}

}  // namespace movra::fe4ts_layer
