#include "../module/table.h"

namespace movra {

py::object exp_w_sum(Call &) { not_implemented("exp_w_sum"); }

py::object Q3_Q1(Call &) { not_implemented("Q3_Q1"); }

}  // namespace movra
