#include "../module/table.h"

namespace movra {

py::object evaluate4group(Call &) { not_implemented("evaluate4group"); }

}  // namespace movra
