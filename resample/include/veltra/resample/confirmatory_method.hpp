// The confirmatory test methods, their names as callers give them and as
// results report them, and the counts a method runs with when the caller
// leaves them out. The binding layer reads these; it never restates them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace veltra::resample {

// In this fixed order; the value is the position of the name below.
enum class ConfirmatoryMethod : std::uint8_t { raw_perm, split_nb, split_exact, score, e, auto_ };

inline constexpr std::array<std::string_view, 6> confirmatory_method_names = {
    "raw_perm", "split_nb", "split_exact", "score", "e", "auto"};

constexpr std::string_view method_name(ConfirmatoryMethod method) {
    return confirmatory_method_names[static_cast<std::size_t>(method)];
}

// Counts of a method whose caller gives none.
inline constexpr std::uint64_t default_n_perm = 1000;
inline constexpr std::uint64_t default_n_folds = 5;
inline constexpr std::uint64_t default_n_splits = 50;

// A test method with the counts that belong to it, every count starting at
// its default: raw_perm reads n_perm and n_folds, split_nb n_splits and
// force, split_exact and auto n_perm and n_splits, score and e nothing. The
// fields a method does not read are never looked at. Every option record
// that names a confirmatory method holds one of these.
struct ConfirmatoryArgs {
    ConfirmatoryMethod method = ConfirmatoryMethod::auto_;
    std::uint64_t n_perm = default_n_perm;
    std::uint64_t n_folds = default_n_folds;
    std::uint64_t n_splits = default_n_splits;
    bool force = false;
};

}  // namespace veltra::resample
