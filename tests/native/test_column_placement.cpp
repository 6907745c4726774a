// Unit tests of the column placement, without Python: records split into
// parts that are placed each on their own and merged by their
// introductions (merge_placed, the companion's merge) give the columns of
// placing every record in one table, and each part's cells land in the
// columns the one table puts them in.
#include "column_placement.h"

#include "checks.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

using namespace movra;
using movra_tests::check;

namespace {

using Record = std::vector<std::string>;

// Records over a few labels, repeated within a record at times, the unit's
// label among them now and then, some records empty.
std::vector<Record> random_records(std::mt19937 &rng, int count) {
    const char *labels[] = {"a", "b", "c", "d", "u"};
    std::vector<Record> records(static_cast<size_t>(count));
    for (Record &r : records) {
        const int size = static_cast<int>(rng() % 6);
        for (int i = 0; i < size; i++) r.push_back(labels[rng() % 5]);
    }
    return records;
}

void test_parts_merge_into_one_table(uint32_t seed) {
    std::mt19937 rng(seed);
    const int windows = 1 + static_cast<int>(rng() % 12);
    const std::vector<Record> records = random_records(rng, windows);
    const std::string trial = "seed " + std::to_string(seed);

    ColumnPlacement<TextLabelIndex> whole("u");
    std::vector<std::vector<int>> whole_positions;
    for (int w = 0; w < windows; w++) whole_positions.push_back(whole.place(records[static_cast<size_t>(w)], w));

    // Each window goes to one of three parts, which keep window order.
    const size_t parts = 3;
    std::vector<std::vector<int>> windows_of(parts);
    for (int w = 0; w < windows; w++) windows_of[rng() % parts].push_back(w);
    std::vector<ColumnPlacement<TextLabelIndex>> placed(parts, ColumnPlacement<TextLabelIndex>("u"));
    std::vector<std::vector<std::vector<int>>> part_positions(parts);
    for (size_t p = 0; p < parts; p++)
        for (size_t row = 0; row < windows_of[p].size(); row++)
            part_positions[p].push_back(
                placed[p].place(records[static_cast<size_t>(windows_of[p][row])], static_cast<int64_t>(row)));

    // The merge, as movra_dask's companion merges its partitions: each
    // part's labels and introductions, renumbered to global windows.
    std::vector<PlacedTable<std::string>> tables(parts);
    for (size_t p = 0; p < parts; p++) {
        tables[p].labels = placed[p].names();
        for (Introduction in : placed[p].introductions()) {
            in.record = windows_of[p][static_cast<size_t>(in.record)];
            tables[p].introductions.push_back(std::move(in));
        }
    }
    const MergedColumns<std::string> merged = merge_placed<TextLabelIndex>("u", tables);
    const std::vector<std::vector<int>> &column_of = merged.columns;
    check(merged.names == whole.names(), trial + ": merged columns");
    check(merged.unit_columns == whole.unit_columns(), trial + ": unit columns");

    // A part's cell of window w, label j, goes where the whole table puts it.
    for (size_t p = 0; p < parts; p++)
        for (size_t row = 0; row < windows_of[p].size(); row++) {
            const std::vector<int> &own = part_positions[p][row];
            const std::vector<int> &expected = whole_positions[static_cast<size_t>(windows_of[p][row])];
            for (size_t j = 0; j < own.size(); j++)
                check(column_of[p][static_cast<size_t>(own[j])] == expected[j], trial + ": a cell's column");
        }
}

// One placement alone: a record brings new columns exactly when the table
// grows, and placing just the introductions again gives the same table.
void test_introductions_replay() {
    ColumnPlacement<TextLabelIndex> table("u");
    table.place(Record{}, 0);                 // the unit column only
    table.place(Record{"a", "a"}, 1);         // two columns named a
    table.place(Record{"a"}, 2);              // nothing new
    table.place(Record{"b", "a", "a", "a"}, 3);  // b and a third a
    const auto &in = table.introductions();
    check(in.size() == 3, "three records brought columns");
    check(in.size() == 3 && in[0].record == 0 && in[1].record == 1 && in[2].record == 3, "their numbers");
    check(table.names() == std::vector<std::string>({"u", "a", "a", "b", "a"}), "the columns");
    check(in.size() == 3 && in[2].positions == std::vector<int>({3, 1, 2, 4}), "the last one's columns");
}

}  // namespace

int main() {
    test_introductions_replay();
    for (uint32_t seed = 1; seed <= 500; seed++) test_parts_merge_into_one_table(seed);
    return movra_tests::report("column_placement");
}
