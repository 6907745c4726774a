#include "../module/table.h"

namespace movra {

py::object searchfiles(Call &) { not_implemented("searchfiles"); }

py::object searchfiles_search(Call &) { not_implemented("searchfiles_search"); }

}  // namespace movra
