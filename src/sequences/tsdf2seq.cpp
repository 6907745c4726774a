#include "../module/table.h"

namespace movra {

py::object tsdf2seq(Call &) { not_implemented("tsdf2seq"); }

}  // namespace movra
