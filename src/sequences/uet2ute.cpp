#include "../module/table.h"

namespace movra {

py::object uet2ute(Call &) { not_implemented("uet2ute"); }

py::object uet2ute_lambda2(Call &) { not_implemented("uet2ute_lambda2"); }

}  // namespace movra
