#include "veltra/procrustes/error.hpp"

namespace veltra::procrustes {

std::string ProcrustesError::display() const {
    if (const auto* d = std::get_if<DimensionMismatch>(&payload))
        return "dimension mismatch: a is " + std::to_string(d->a_rows) + "\u00D7" +
               std::to_string(d->a_cols) + ", reference is " + std::to_string(d->reference_rows) +
               "\u00D7" + std::to_string(d->reference_cols);
    if (is<Empty>()) return "empty input: rows or columns is zero";
    if (const auto* o = std::get_if<InvalidOptions>(&payload))
        return "invalid options: " + std::string(o->reason);
    return "non-finite value in input";
}

}  // namespace veltra::procrustes
