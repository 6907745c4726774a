// The table of movra's functions: names, conventions, parameters and locals
// (what __code__ reports), defaults and bodies, in one place.
#include "table.h"

namespace movra {

namespace {

constexpr auto PK = Convention::PositionalOrKeyword;
constexpr auto ONE = Convention::SingleArgument;

// Parameters first, then locals, as the code objects list them.
const char *const gen_ngrams_names[] = {"s", "n", "pad", "i"};
const char *const md5_names[] = {"str", "hashlib", "m"};
const char *const clean_topk_names[] = {"v", "k", "upper", "gap", "replace", "index_nan", "argmax", "by"};
const char *const evaluate4group_names[] = {"data", "group", "predict", "label", "k", "TP_group",
                                            "TP_individal", "name", "g", "tmp", "TP"};
const char *const unit_date_names[] = {"df", "unit", "date", "daysdiff", "u_d", "index", "row", "d", "i"};
const char *const tsdf2seq_names[] = {"df", "t", "s", "date", "maxlen", "cut", "maxdays"};
const char *const pad_seq_names[] = {"v", "maxlen", "padding", "value"};
const char *const Q3_Q1_names[] = {"v"};
const char *const exp_w_sum_names[] = {"x", "base", "reverse", "tail_same", "w", "i"};
const char *const searchfiles_names[] = {"path", "expr", "search", "search", "files"};
const char *const search_names[] = {"path", "word", "filename", "fp"};
const char *const load_model_names[] = {"path", "model", "model_from_json", "base64", "w"};
const char *const is_done_names[] = {"filename", "fsize"};
const char *const fe4ts_names[] = {"df", "unit", "tactic", "periodic", "lag", "value", "interval",
                                   "del_t_maximin", "aggfunc", "fe", "fe", "ftrs", "index", "row",
                                   "df_", "ftr", "t", "p", "i", "l"};
const char *const fe_names[] = {"df_", "tactic", "periodic", "lag", "del_t_maximin", "aggfunc", "stats",
                                "nb", "f", "t", "df_t", "p", "df_p", "l", "temp", "i", "ii"};
const char *const datesStr2datesLst_names[] = {"s", "sep", "s_", "i"};
const char *const usest2uet_names[] = {"usest", "unit", "e", "ts", "interval", "uet",
                                       "index", "row", "usest_", "name", "group", "dates"};
const char *const uet2ute_names[] = {"uet", "unit", "e", "t", "ute", "index", "row", "i"};
const char *const csv2json_names[] = {"file", "encoding", "sep", "f", "keys", "keyvalues", "jsons", "line"};
// Single-argument anonymous functions carry no code object, but binding
// still needs the parameter's name.
const char *const anonymous_names[] = {"x"};

template <size_t N>
constexpr int count(const char *const (&)[N]) { return static_cast<int>(N); }

py::tuple gen_ngrams_defaults() { return py::make_tuple(-1); }
py::tuple clean_topk_defaults() { return py::make_tuple(2, 1000, 2.0); }  // + numpy.nan at load
py::tuple evaluate4group_defaults() { return py::make_tuple("TG_NO", "predict", "label", 0.05); }
py::tuple unit_date_defaults() { return py::make_tuple("CONS_NO", "OCCUR_TIME", -15); }
py::tuple tsdf2seq_defaults() { return py::make_tuple("DATA_DATE", "KWH", py::none(), 256, "post", py::none()); }
py::tuple pad_seq_defaults() { return py::make_tuple(256, "post", -1); }
py::tuple exp_w_sum_defaults() { return py::make_tuple(0.5, true, true); }
py::tuple fe4ts_defaults() { return py::make_tuple(false); }  // + numpy.nansum at load
py::tuple datesStr2datesLst_defaults() { return py::make_tuple(","); }
py::tuple csv2json_defaults() { return py::make_tuple("utf-8", ","); }

#define MODULE_FUNCTION(fn, conv, nparams, file, defaults, loadtime) \
    {#fn, #fn, "movra." #fn, conv, nparams, fn##_names, count(fn##_names), defaults, loadtime, fn, file, __LINE__}

}  // namespace

const FunctionEntry module_functions[kModuleFunctions] = {
    MODULE_FUNCTION(gen_ngrams, PK, 3, "src/scoring/gen_ngrams.cpp", gen_ngrams_defaults, nullptr),
    MODULE_FUNCTION(md5, ONE, 1, "src/files/md5.cpp", nullptr, nullptr),
    MODULE_FUNCTION(clean_topk, PK, 5, "src/scoring/clean_topk.cpp", clean_topk_defaults, "nan"),
    MODULE_FUNCTION(evaluate4group, PK, 5, "src/scoring/evaluate4group.cpp", evaluate4group_defaults, nullptr),
    MODULE_FUNCTION(unit_date, PK, 4, "src/sequences/unit_date.cpp", unit_date_defaults, nullptr),
    MODULE_FUNCTION(tsdf2seq, PK, 7, "src/sequences/tsdf2seq.cpp", tsdf2seq_defaults, nullptr),
    MODULE_FUNCTION(pad_seq, PK, 4, "src/sequences/pad_seq.cpp", pad_seq_defaults, nullptr),
    MODULE_FUNCTION(Q3_Q1, ONE, 1, "src/scoring/exp_w_sum.cpp", nullptr, nullptr),
    MODULE_FUNCTION(exp_w_sum, PK, 4, "src/scoring/exp_w_sum.cpp", exp_w_sum_defaults, nullptr),
    MODULE_FUNCTION(searchfiles, PK, 2, "src/files/searchfiles.cpp", nullptr, nullptr),
    MODULE_FUNCTION(load_model, ONE, 1, "src/files/load_model.cpp", nullptr, nullptr),
    MODULE_FUNCTION(is_done, ONE, 1, "src/files/is_done.cpp", nullptr, nullptr),
    MODULE_FUNCTION(fe4ts, PK, 9, "src/features/fe4ts.cpp", fe4ts_defaults, "nansum"),
    MODULE_FUNCTION(datesStr2datesLst, PK, 2, "src/sequences/datesStr2datesLst.cpp", datesStr2datesLst_defaults, nullptr),
    MODULE_FUNCTION(usest2uet, PK, 5, "src/sequences/usest2uet.cpp", nullptr, nullptr),
    MODULE_FUNCTION(uet2ute, PK, 4, "src/sequences/uet2ute.cpp", nullptr, nullptr),
    MODULE_FUNCTION(csv2json, PK, 3, "src/files/csv2json.cpp", csv2json_defaults, nullptr),
};

const FunctionEntry search_entry = {
    "search", "searchfiles.<locals>.search", "movra.searchfiles.search", PK, 2,
    search_names, count(search_names), nullptr, nullptr, searchfiles_search, "src/files/searchfiles.cpp", __LINE__};
const FunctionEntry fe_entry = {
    "fe", "fe4ts.<locals>.fe", "movra.fe4ts.fe", PK, 6,
    fe_names, count(fe_names), nullptr, nullptr, fe4ts_fe, "src/features/fe.cpp", __LINE__};
const FunctionEntry lambda_entry = {
    "lambda", "fe4ts.<locals>.fe.<locals>.<lambda>", "movra.fe4ts.fe.lambda", ONE, 1,
    anonymous_names, 0, nullptr, nullptr, fe_lambda, "src/features/fe.cpp", __LINE__};
const FunctionEntry lambda1_entry = {
    "lambda1", "fe4ts.<locals>.fe.<locals>.<lambda>", "movra.fe4ts.fe.lambda1", ONE, 1,
    anonymous_names, 0, nullptr, nullptr, fe_lambda1, "src/features/fe.cpp", __LINE__};
const FunctionEntry lambda2_entry = {
    "lambda2", "uet2ute.<locals>.<lambda>", "movra.uet2ute.lambda2", ONE, 1,
    anonymous_names, 0, nullptr, nullptr, uet2ute_lambda2, "src/sequences/uet2ute.cpp", __LINE__};

namespace {
const char *const searchfiles_vars[] = {"expr", "files", "search"};
const char *const fe4ts_vars[] = {"value"};
const char *const fe_vars[] = {"aggfunc"};
const char *const uet2ute_vars[] = {"e"};
}  // namespace

const ScopeLayout searchfiles_scope = {"searchfiles", searchfiles_vars, 3};
const ScopeLayout fe4ts_scope = {"fe4ts", fe4ts_vars, 1};
const ScopeLayout fe_scope = {"fe", fe_vars, 1};
const ScopeLayout uet2ute_scope = {"uet2ute", uet2ute_vars, 1};

}  // namespace movra
