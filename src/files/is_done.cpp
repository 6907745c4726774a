#include "../module/table.h"

namespace movra {

py::object is_done(Call &) { not_implemented("is_done"); }

}  // namespace movra
