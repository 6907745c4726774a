#include "../module/table.h"

namespace movra {

py::object csv2json(Call &) { not_implemented("csv2json"); }

}  // namespace movra
