// The 16 typed result records: each type's name, its snake-case class name
// and its fields in order, with a type word and whether the field may be null.
// Every result record is built from this table by result_record, so the
// records hold exactly these fields in exactly this order.
#pragma once

#include <array>
#include <span>
#include <string_view>
#include <utility>

#include "veltra/bind/value.hpp"

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

// The record of the result type `type_name`: the row's field names in row
// order, holding `values` (moved out) in that order. One value per field,
// and null only in a nullable field; anything else is an internal failure.
Record result_record_of(std::string_view type_name, std::span<Value> values);

// result_record_of with the field values given in row order.
template <class... V>
Record result_record(std::string_view type_name, V&&... values) {
    std::array<Value, sizeof...(V)> fields{Value(std::forward<V>(values))...};
    return result_record_of(type_name, fields);
}

}  // namespace veltra::bind
