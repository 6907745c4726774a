#include "../module/table.h"

namespace movra {

py::object unit_date(Call &) { not_implemented("unit_date"); }

}  // namespace movra
