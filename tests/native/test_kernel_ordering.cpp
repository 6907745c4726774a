// The kernel's ordering of the readings, without Python: units and times
// in any order, ties, threads, interruptions, large tables.
#include "kernel_fixtures.h"

using namespace movra_tests;

namespace {

void test_order_and_ties() {
    // The same readings already in order need no copy and give the same records.
    Readings shuffled;
    std::vector<size_t> order(shuffled.unit.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return shuffled.unit[a] != shuffled.unit[b] ? shuffled.unit[a] < shuffled.unit[b]
                                                     : shuffled.time[a] < shuffled.time[b];
    });
    Readings sorted;
    for (size_t i = 0; i < order.size(); i++) {
        sorted.unit[i] = shuffled.unit[order[i]];
        sorted.time[i] = shuffled.time[order[i]];
        sorted.value[i] = shuffled.value[order[i]];
        sorted.w[i] = shuffled.w[order[i]];
        sorted.wd[i] = shuffled.wd[order[i]];
    }
    Kernel kernel(sorted.table());
    check(!kernel.reordered(), "ordered readings are used in place");
    const auto ws = windows();
    Result r;
    check(kernel.run(ws.data(), static_cast<int64_t>(ws.size()), options(false), r) == Kernel::Status::Ok, "run");
    for (int w = 0; w < 5; w++) check_values(kWant[w], record(r, w), "ordered input, window " + std::to_string(w));

    // A positional cut between the two readings at time 5 depends on how the
    // tie is ordered: the kernel declines the window.
    Window cut;
    cut.unit = 7;
    cut.has_forward_r = true;
    cut.forward_r = 4;  // times 5 | 5 6 7 8
    check(kernel.locate(cut).ambiguous, "cut inside a tie");
    int64_t at = -1;
    Result r2;
    Window both[2] = {ws[0], cut};
    check(kernel.run(both, 2, options(false), r2, &at) == Kernel::Status::Ambiguous && at == 1 && r2.windows == 1,
          "run stops at the ambiguous window");
    // On several threads too, with ambiguous windows here and there (the
    // first at the end of the first run handed out, while the other threads
    // go on): the records before the first, and only those, as on one thread.
    for (int first : {36, 137}) {
        std::vector<Window> many;
        for (int i = 0; i < 300; i++) many.push_back(i == first || i == 210 || i == 299 ? cut : ws[i % 5]);
        Result one;
        check(kernel.run(many.data(), first, options(false), one) == Kernel::Status::Ok, "run");
        for (int threads : {2, 3}) {
            Kernel shared(sorted.table(), nullptr, threads);
            Result got;
            int64_t stopped = -1;
            check(shared.run(many.data(), 300, options(false), got, &stopped) == Kernel::Status::Ambiguous &&
                      stopped == first && bytes_of(got) == bytes_of(one),
                  "run on " + std::to_string(threads) + " threads stops at the first ambiguous window");
        }
    }
    cut.forward_r = 5;  // times 4 | 5 5 6 7 8: the tie stays whole
    check(!kernel.locate(cut).ambiguous, "cut beside a tie");
    cut.has_backward_r = true;
    cut.backward_r = 1;  // then the first of 5 5 6 7 8: inside the tie again
    check(kernel.locate(cut).ambiguous, "second cut inside a tie");
    // Python slice rules for the counts.
    Window w;
    w.unit = 7;
    w.has_forward_r = true;
    w.forward_r = 0;  // rows[-0:] keeps everything
    check(kernel.locate(w).end - kernel.locate(w).begin == 9, "FORWARD_R 0 keeps all");
    w.forward_r = -7;  // rows[7:]
    check(kernel.locate(w).end - kernel.locate(w).begin == 2, "negative FORWARD_R");
    w.forward_r = std::numeric_limits<int64_t>::min();
    check(kernel.locate(w).end == kernel.locate(w).begin, "FORWARD_R at the int64 limit");
    w.has_forward_r = false;
    w.has_backward_r = true;
    w.backward_r = 0;  // rows[:0] keeps nothing
    check(kernel.locate(w).end == kernel.locate(w).begin, "BACKWARD_R 0 keeps none");
    w.backward_r = -2;  // rows[:-2]
    check(kernel.locate(w).end - kernel.locate(w).begin == 7, "negative BACKWARD_R");
    w.backward_r = 100;
    check(kernel.locate(w).end - kernel.locate(w).begin == 9, "BACKWARD_R beyond the end");
    Window none;
    none.unit = 7;
    none.matches_nothing = true;
    check(kernel.locate(none).end == kernel.locate(none).begin, "a window that matches nothing");
}

void test_unsorted_units_and_keys() {
    // Units interleaved, a float key column with missing keys, out of order.
    std::vector<int64_t> unit{2, 1, 2, 1, 2, 1, 2};
    std::vector<int64_t> time{3, 2, 1, 1, 2, 3, 4};
    std::vector<double> value{3, 20, 1, 10, 2, 30, 4};
    std::vector<double> key{0.5, NaN, 1.5, 0.5, NaN, 1.5, 0.5};
    Kernel kernel(table_of(unit, ints(time), value, {floats(key)}));
    Options o;
    o.tactic = {0, 1};
    o.periodic = {1};
    Window w;
    w.unit = 2;
    Result r;
    check(kernel.run(&w, 1, o, r) == Kernel::Status::Ok, "run");
    // Unit 2 in time order: values 1 2 3 4, keys 1.5 NaN 0.5 0.5.
    check(r.rows[0] == 4, "unit 2 readings");
    check(r.profile_groups[0] == 2 && r.profile_keys[0].f == 0.5 && r.profile_keys[1].f == 1.5,
          "float profile keys ascending, missing key dropped");
    check(r.profile_stats[0] == 4 && r.profile_stats[1] == 3 && r.profile_stats[kStats] == 1, "profile groups");
    // Period over the key: 0.5 -> 7, 1.5 -> 1; NB 3 (NaN counted once).
    check(r.period[kPeriodWidth + 0] == 7 && r.period[kPeriodWidth + 1] == 1 && r.period[kPeriodWidth + 11] == 3,
          "float period keys");
}

// The first occurrences of each distinct value against a plain search: few
// values (the cache holds them), many (they collide in it and fall through
// to the set), floats with NaN and signed zeros, on 1 to 3 threads, over
// enough values that the threads split them.
// Readings in order are used in place, found so by the threads side by side
// past the first rows; a second run of a unit or a time out of order far
// into the table sends them to be reordered.  Every way, the records are
// those of one thread.
void test_order_found_by_threads() {
    const int64_t units = 700, days = 500, n = units * days;
    std::vector<int64_t> unit(n), time(n), wd(n);
    std::vector<double> value(n);
    for (int64_t i = 0; i < n; i++) {
        unit[i] = i / days + 1;
        time[i] = i % days;
        wd[i] = time[i] % 7;
        value[i] = static_cast<double>((i * 7919) % 1000) / 8;
    }
    Options o;
    o.tactic = {0, 1};
    o.periodic = {1};
    std::vector<Window> ws;
    for (int64_t u = 1; u <= units; u++) {
        Window w;
        w.unit = u;
        ws.push_back(w);
    }
    auto records = [&](int threads, bool *reordered) {
        Table t = table_of(unit, ints(time), value, {ints(wd)});
        t.wanted_units.emplace();
        for (int64_t u = 1; u <= units; u++) t.wanted_units->push_back(u);
        Kernel k(t, nullptr, threads);
        *reordered = k.reordered();
        Result r;
        check(k.run(ws.data(), units, o, r) == Kernel::Status::Ok, "run");
        return bytes_of(r);
    };
    auto same_on_threads = [&](const std::string &what, bool want_reordered) {
        bool one_reordered = false, two_reordered = true;
        const auto one = records(1, &one_reordered);
        check(records(2, &two_reordered) == one && one_reordered == want_reordered &&
                  two_reordered == want_reordered,
              what);
    };
    same_on_threads("readings in order, in place", false);
    std::swap(unit[n - 3 * days], unit[n - 5 * days]);  // two units each split in two runs, far in
    std::swap(value[n - 3 * days], value[n - 5 * days]);
    same_on_threads("a second run of a unit far into the table", true);
    std::swap(unit[n - 3 * days], unit[n - 5 * days]);
    std::swap(value[n - 3 * days], value[n - 5 * days]);
    std::swap(time[n - 10], time[n - 20]);  // out of time order in the last unit
    same_on_threads("a time out of order far into the table", true);
}

void test_interrupted_ordering() {
    // Asked to stop while ordering, the kernel gives up and runs nothing.
    Readings data;
    int asked = 0;
    Kernel kernel(data.table(), [&] { return ++asked > 0; });
    check(asked > 0 && kernel.interrupted(), "ordering stops when asked");
    Window w;
    w.unit = 7;
    Result r;
    check(kernel.run(&w, 1, options(false), r) == Kernel::Status::BadOptions && r.windows == 0,
          "an interrupted kernel runs nothing");
    Kernel unasked(data.table(), [] { return false; });
    check(!unasked.interrupted() && unasked.run(&w, 1, options(false), r) == Kernel::Status::Ok, "not asked to stop");
}

void test_key_changed_while_ordered() {
    // A key column that another thread changes after the ordering found its
    // range, and before it copies the key narrowed to that range: the copy
    // raises rather than cut a key down to its low bytes.  Every reading
    // dealt, or a few units' gathered; the question whether to stop, asked
    // between the passes, stands in for the other thread.  A time that no
    // longer fits the keys planned raises too.
    for (bool gathered : {false, true}) {
        for (bool time : {false, true}) {
            if (gathered && time) continue;  // the gather copies the time whole
            Readings data;
            Table t = data.table();
            if (gathered) t.wanted_units = std::vector<int64_t>{3};
            std::vector<int64_t> &changed = time ? data.time : data.w;
            int asked = 0;
            auto change = [&] {
                if (asked++ == 0)
                    for (int64_t &v : changed) v += 1000;
                return false;
            };
            std::string error;
            try {
                Kernel kernel(t, change);
            } catch (const std::runtime_error &e) {
                error = e.what();
            }
            const std::string what = time ? "the time column" : "a key column";
            check(asked > 0 && error == what + " changed while it was read",
                  what + (gathered ? " gathered" : " dealt") + ": '" + error + "'");
        }
    }
}

void test_large_tables_threads_and_wanted_units() {
    // Enough readings for the ordering to split its passes between threads:
    // shuffled, in order, with units far apart (no direct unit table), on
    // 1, 2 and 3 threads, and with only some units wanted, every run gives
    // the same records to the last bit.
    const int64_t units = 300, days = 500, n = units * days;
    std::vector<int64_t> order(n);
    for (int64_t i = 0; i < n; i++) order[i] = i;
    uint64_t state = 12345;
    for (int64_t i = n - 1; i > 0; i--) {  // Fisher-Yates on a fixed LCG
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        std::swap(order[i], order[static_cast<int64_t>((state >> 33) % static_cast<uint64_t>(i + 1))]);
    }
    struct Columns {
        std::vector<int64_t> unit, time, wd;
        std::vector<double> value, float_time;  // float_time: a float axis instead, when filled
        Table table() const {
            return table_of(unit, float_time.empty() ? ints(time) : floats(float_time), value, {ints(wd)});
        }
    };
    auto build = [&](bool shuffled, int64_t unit_scale, bool float_time = false, int64_t time_scale = 1,
                     int64_t key_scale = 1) {
        Columns c;
        for (int64_t j = 0; j < n; j++) {
            const int64_t i = shuffled ? order[j] : j;
            c.unit.push_back((i / days + 1) * unit_scale);
            c.time.push_back(i % days * time_scale);
            if (float_time) c.float_time.push_back(static_cast<double>(i % days) + 0.5);
            c.wd.push_back((i % days) % 7 * key_scale);
            c.value.push_back(i % 37 == 0 ? NaN : static_cast<double>((i * 7919) % 1000) / 8);
        }
        return c;
    };
    Options o;
    o.tactic = {0, 1};
    o.periodic = {1};
    Scalar one, seven;
    one.i = 1;
    seven.i = 7;
    o.lags = {one, seven};
    auto windows_for = [&](int64_t unit_scale) {
        std::vector<Window> ws;
        for (int64_t u = 1; u <= units; u++) {
            Window w;
            w.unit = u * unit_scale;
            w.has_start = w.has_end = true;
            w.start.i = u % 50;
            w.end.i = days - u % 70;
            ws.push_back(w);
        }
        return ws;
    };
    auto records = [&](const Table &t, int threads, const std::vector<Window> &ws) {
        Kernel k(t, nullptr, threads);
        Result r;
        check(k.run(ws.data(), static_cast<int64_t>(ws.size()), o, r) == Kernel::Status::Ok, "large run");
        return bytes_of(r);
    };
    const Columns in_order = build(false, 1), shuffled = build(true, 1), far = build(true, int64_t{1} << 40);
    const auto ws = windows_for(1);
    const auto want = records(in_order.table(), 1, ws);
    // A float axis is sorted unit by unit after the units are dealt out.
    const Columns float_in_order = build(false, 1, true), float_shuffled = build(true, 1, true);
    std::vector<Window> float_ws = ws;
    for (Window &w : float_ws) {
        w.start.f = static_cast<double>(w.start.i);
        w.end.f = static_cast<double>(w.end.i);
    }
    o.lags[0].f = 1;
    o.lags[1].f = 7;
    const auto float_want = records(float_in_order.table(), 1, float_ws);
    for (int threads : {1, 2, 3}) {
        const std::string on = " on " + std::to_string(threads) + " threads";
        check(records(float_shuffled.table(), threads, float_ws) == float_want, "float times shuffled" + on);
    }
    o.lags[0].i = 1;
    o.lags[1].i = 7;
    for (int threads : {1, 2, 3}) {
        const std::string on = " on " + std::to_string(threads) + " threads";
        check(records(in_order.table(), threads, ws) == want, "in order" + on);
        check(records(shuffled.table(), threads, ws) == want, "shuffled" + on);
        check(records(far.table(), threads, windows_for(int64_t{1} << 40)) == want, "units far apart" + on);
    }
    // Times far apart leave the keys sparse in each bucket, which sorts by
    // radix passes instead of counting; a key too large for 32 bits keeps
    // its 64-bit copy.
    const Columns sparse_in_order = build(false, 1, false, 1000, int64_t{1} << 33),
                  sparse = build(true, 1, false, 1000, int64_t{1} << 33);
    std::vector<Window> sparse_ws = ws;
    for (Window &w : sparse_ws) {
        w.start.i *= 1000;
        w.end.i *= 1000;
    }
    const auto sparse_want = records(sparse_in_order.table(), 1, sparse_ws);
    for (int threads : {1, 2})
        check(records(sparse.table(), threads, sparse_ws) == sparse_want, "sparse times shuffled");
    // Only units 5 and 17 wanted (17 twice), or unit 5 alone (few enough
    // units for the ordering to list their readings rather than keep every
    // reading's code): their windows find the same readings.
    const std::vector<std::pair<std::vector<int64_t>, std::vector<Window>>> wanted{
        {{17, 5, 17}, {ws[4], ws[16]}}, {{5}, {ws[4]}}};
    for (const Columns *c : {&in_order, &shuffled}) {
        for (const auto &[units_wanted, their_windows] : wanted) {
            Table t = c->table();
            t.wanted_units = units_wanted;
            Kernel k(t, nullptr, 2);
            check(k.reordered() == (c == &shuffled), "wanted units: reordered only when shuffled");
            Result got, full;
            const int64_t count = static_cast<int64_t>(their_windows.size());
            check(k.run(their_windows.data(), count, o, got) == Kernel::Status::Ok, "run");
            Kernel all(c->table());
            check(all.run(their_windows.data(), count, o, full) == Kernel::Status::Ok, "run");
            check(bytes_of(got) == bytes_of(full), "wanted units give the same records");
            check(k.locate(ws[5]).end == k.locate(ws[5]).begin, "an unwanted unit finds nothing");
        }
    }
}

}  // namespace

int main() {
    test_order_and_ties();
    test_unsorted_units_and_keys();
    test_order_found_by_threads();
    test_interrupted_ordering();
    test_key_changed_while_ordered();
    test_large_tables_threads_and_wanted_units();
    return movra_tests::report("kernel_ordering");
}
