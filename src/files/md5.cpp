#include "../module/table.h"

namespace movra {

py::object md5(Call &) { not_implemented("md5"); }

}  // namespace movra
