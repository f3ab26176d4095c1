#include "veltra/bind/warn.hpp"

#include <string>

#include "veltra/bind/fmt.hpp"

namespace veltra::bind {

std::optional<Record> rerouted(std::optional<std::string_view> requested,
                               std::optional<std::string_view> actual,
                               std::optional<std::uint64_t> n_perm,
                               std::optional<double> stable_rank, double n_eff) {
    if (!requested && !actual) return std::nullopt;
    if (requested && (requested == actual || *requested == "auto")) return std::nullopt;

    const std::string req(requested.value_or("None"));
    const std::string act(actual.value_or("None"));
    std::string detail = " (";
    if (stable_rank) detail += "stable rank of the standardized X = " + g4(*stable_rank) + "; ";
    detail += "n_eff = " + g4(n_eff) + ")";
    const std::string perms = n_perm ? std::to_string(*n_perm) : "None";

    std::string message = "'" + req + "' was rerouted to '" + act + "': the " + req +
                          " auto-gate flagged this design" + detail +
                          ". The fallback runs n_perm=" + perms +
                          " permutations, so it costs more than " + req +
                          ". Pass args={'force': True} to run " + req + " anyway.";

    return Record()
        .field("kind", Value::string("rerouted"))
        .field("requested", Value::string(req))
        .field("actual", Value::string(act))
        .field("n_perm", n_perm ? Value::count(*n_perm) : Value())
        .field("stable_rank", stable_rank ? Value::real(*stable_rank) : Value())
        .field("n_eff", Value::real(n_eff))
        .field("message", Value::string(std::move(message)));
}

CallOutput with_warning(Record result, std::optional<Record> warning) {
    CallOutput out{Value(std::move(result)), {}};
    if (warning) out.warnings.push_back(std::move(*warning));
    return out;
}

}  // namespace veltra::bind
