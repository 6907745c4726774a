#include "../module/table.h"

namespace movra {

py::object gen_ngrams(Call &) { not_implemented("gen_ngrams"); }

}  // namespace movra
