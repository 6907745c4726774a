// The module's table: what the namespace holds, in the order in which a
// module body would make its entries.  Each function's entry (names,
// parameters, locals, defaults) is written below its body, in its own file.
//
// Adding a module-level function takes three edits: its file under src/
// with the body and, below it, its entry (see entry.h); the entry's
// declaration and its place in the list below; the file in the source list
// of CMakeLists.txt.  A nested function's entry goes below its body too,
// is declared in table.h and named in `creates` of the function whose
// calls make it; the variables they share are a scope layout in table.h.
#include "table.h"

namespace movra {

extern const FunctionEntry gen_ngrams_entry, md5_entry, clean_topk_entry, evaluate4group_entry, unit_date_entry,
    tsdf2seq_entry, pad_seq_entry, Q3_Q1_entry, exp_w_sum_entry, searchfiles_entry, load_model_entry, is_done_entry,
    fe4ts_entry, datesStr2datesLst_entry, usest2uet_entry, uet2ute_entry, csv2json_entry;

namespace {

constexpr NamespaceEntry library(const char *name) { return {NamespaceEntry::Library, name, nullptr}; }
constexpr NamespaceEntry library_class(const char *name) { return {NamespaceEntry::LibraryClass, name, nullptr}; }
constexpr NamespaceEntry function(const FunctionEntry &entry) { return {NamespaceEntry::Function, nullptr, &entry}; }
constexpr NamespaceEntry empty_dict(const char *name) { return {NamespaceEntry::EmptyDict, name, nullptr}; }

}  // namespace

const NamespaceEntry module_body[] = {
    library("numpy"),
    library("pandas"),
    library("datetime"),
    library("os"),
    library("re"),
    library("pickle"),
    library("time"),
    library_class("tqdm"),  // the progress-bar class, not its module
    function(gen_ngrams_entry),
    function(md5_entry),
    function(clean_topk_entry),
    function(evaluate4group_entry),
    function(unit_date_entry),
    function(tsdf2seq_entry),
    function(pad_seq_entry),
    function(Q3_Q1_entry),
    function(exp_w_sum_entry),
    function(searchfiles_entry),
    function(load_model_entry),
    function(is_done_entry),
    function(fe4ts_entry),
    function(datesStr2datesLst_entry),
    function(usest2uet_entry),
    function(uet2ute_entry),
    library("json"),  // imported only now, as the module body always did
    function(csv2json_entry),
    empty_dict("__test__"),
};

const int module_body_length = static_cast<int>(sizeof module_body / sizeof module_body[0]);

}  // namespace movra
