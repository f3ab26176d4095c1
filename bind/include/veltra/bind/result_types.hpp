// The 16 typed result records: each type's name, its snake-case class name
// and its fields in order, with a type word and whether the field may be null.
// Result converters emit exactly these fields in exactly this order.
#pragma once

#include <span>
#include <string_view>

namespace veltra::bind {

struct FieldSpec {
    std::string_view name;
    // "mat", "vec", "vec_or_mat", "f64_or_vec", "f64", "i64", "u64", "bool",
    // "str", "intmap", "intvec", "boolvec", "args", "record:T", "record:A|B",
    // "list:T".
    std::string_view type;
    bool nullable;
};

struct ResultTypeSpec {
    std::string_view name;
    std::string_view r_class;
    std::span<const FieldSpec> fields;
};

// All 16 types, in their fixed order.
std::span<const ResultTypeSpec> result_types();
// The type of that exact name, or null.
const ResultTypeSpec* find_result_type(std::string_view name);

}  // namespace veltra::bind
