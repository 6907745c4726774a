#include "../module/table.h"

namespace movra {

py::object fe4ts_fe(Call &) { not_implemented("fe4ts_fe"); }

py::object fe_lambda(Call &) { not_implemented("fe_lambda"); }

py::object fe_lambda1(Call &) { not_implemented("fe_lambda1"); }

}  // namespace movra
