#include "../module/table.h"

namespace movra {

py::object datesStr2datesLst(Call &) { not_implemented("datesStr2datesLst"); }

}  // namespace movra
