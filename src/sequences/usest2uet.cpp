#include "../module/table.h"

namespace movra {

py::object usest2uet(Call &) { not_implemented("usest2uet"); }

}  // namespace movra
