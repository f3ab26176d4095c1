// The confirmatory test methods, their names as callers give them and as
// results report them, and the counts a method runs with when the caller
// leaves them out. The binding layer reads these; it never restates them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace veltra {

// In this fixed order; the value is the position of the name below.
enum class ConfirmatoryMethod : std::uint8_t { raw_perm, split_nb, split_exact, score, e, auto_ };

inline constexpr std::array<std::string_view, 6> confirmatory_method_names = {
    "raw_perm", "split_nb", "split_exact", "score", "e", "auto"};

constexpr std::string_view method_name(ConfirmatoryMethod method) {
    return confirmatory_method_names[static_cast<std::size_t>(method)];
}

// A test method with the counts that belong to it; the fields a method does
// not use stay 0 / false: raw_perm reads n_perm and n_folds, split_nb
// n_splits and force, split_exact and auto n_perm and n_splits, score and e
// nothing.
struct ConfirmatoryArgs {
    ConfirmatoryMethod method = ConfirmatoryMethod::auto_;
    std::uint64_t n_perm = 0;
    std::uint64_t n_folds = 0;
    std::uint64_t n_splits = 0;
    bool force = false;
};

// Counts of a method whose caller gives none. A split_nb request that the
// split-method gate refuses runs split_exact with default_n_perm.
inline constexpr std::uint64_t default_n_perm = 1000;
inline constexpr std::uint64_t default_n_folds = 5;
inline constexpr std::uint64_t default_n_splits = 50;

}  // namespace veltra
