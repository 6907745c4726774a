// The functions of movra: one table declares every module-level function and
// every nested one, with its parameters, locals, defaults and body.
#pragma once

#include "runtime.h"

namespace movra {

// Bodies, one per function; each lives in its area's source file.
py::object gen_ngrams(Call &);
py::object md5(Call &);
py::object clean_topk(Call &);
py::object evaluate4group(Call &);
py::object unit_date(Call &);
py::object tsdf2seq(Call &);
py::object pad_seq(Call &);
py::object Q3_Q1(Call &);
py::object exp_w_sum(Call &);
py::object searchfiles(Call &);
py::object load_model(Call &);
py::object is_done(Call &);
py::object fe4ts(Call &);
py::object datesStr2datesLst(Call &);
py::object usest2uet(Call &);
py::object uet2ute(Call &);
py::object csv2json(Call &);

// Nested functions, created per call of their enclosing function.
py::object searchfiles_search(Call &);
py::object fe4ts_fe(Call &);
py::object fe_lambda(Call &);
py::object fe_lambda1(Call &);
py::object uet2ute_lambda2(Call &);

// Module-level functions in namespace order (json is imported before the
// last one, csv2json).
constexpr int kModuleFunctions = 17;
extern const FunctionEntry module_functions[kModuleFunctions];

extern const FunctionEntry search_entry;   // searchfiles.<locals>.search
extern const FunctionEntry fe_entry;       // fe4ts.<locals>.fe
extern const FunctionEntry lambda_entry;   // fe's aggregation of one period
extern const FunctionEntry lambda1_entry;  // fe's statistics of one profile group
extern const FunctionEntry lambda2_entry;  // uet2ute's regrouping reducer

// Shared-variable records and their slots.
extern const ScopeLayout searchfiles_scope;
enum SearchfilesSlot { kExpr = 0, kFiles = 1, kSearch = 2 };
extern const ScopeLayout fe4ts_scope;
enum Fe4tsSlot { kValue = 0 };
extern const ScopeLayout fe_scope;
enum FeSlot { kAggfunc = 0 };
extern const ScopeLayout uet2ute_scope;
enum Uet2uteSlot { kEvent = 0 };

}  // namespace movra
