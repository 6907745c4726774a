#include "../module/table.h"

namespace movra {

py::object load_model(Call &) { not_implemented("load_model"); }

}  // namespace movra
