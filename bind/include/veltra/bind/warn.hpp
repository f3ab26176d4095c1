// The one kind of warning: a requested test method was rerouted to another
// because an automatic gate rejected it for this design.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "veltra/bind/registry.hpp"
#include "veltra/bind/value.hpp"

namespace veltra::bind {

// The "rerouted" warning record (plain record: kind, requested, actual,
// n_perm, stable_rank, n_eff, message), or none when the method that ran is
// the one requested, when "auto" was requested, or when neither is known.
std::optional<Record> rerouted(std::optional<std::string_view> requested,
                               std::optional<std::string_view> actual,
                               std::optional<std::uint64_t> n_perm,
                               std::optional<double> stable_rank, double n_eff);

// An adapter's output: the result record with the warning, if any.
CallOutput with_warning(Record result, std::optional<Record> warning);

}  // namespace veltra::bind
