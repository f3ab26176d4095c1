// The alignment's own error type. The alignment library stands apart from the
// engine, so callers translate this error into theirs and embed its text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace veltra::procrustes {

struct ProcrustesError {
    struct DimensionMismatch {
        std::uint64_t a_rows;
        std::uint64_t a_cols;
        std::uint64_t reference_rows;
        std::uint64_t reference_cols;
    };
    struct Empty {};
    struct InvalidOptions {
        std::string_view reason;  // always a static string
    };
    struct NonFinite {};

    using Payload = std::variant<DimensionMismatch, Empty, InvalidOptions, NonFinite>;

    Payload payload;

    template <class P>
    bool is() const {
        return std::holds_alternative<P>(payload);
    }

    std::string display() const;
};

}  // namespace veltra::procrustes
