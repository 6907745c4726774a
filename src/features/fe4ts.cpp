#include "../module/table.h"

namespace movra {

py::object fe4ts(Call &) { not_implemented("fe4ts"); }

}  // namespace movra
