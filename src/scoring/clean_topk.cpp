#include "../module/table.h"

namespace movra {

py::object clean_topk(Call &) { not_implemented("clean_topk"); }

}  // namespace movra
