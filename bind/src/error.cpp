#include "veltra/bind/error.hpp"

#include <utility>

namespace veltra::bind {

BindError BindError::invalid_argument(std::string message) {
    return BindError{std::move(message), Record(), "invalid_argument"};
}

BindError BindError::invalid_args(std::string message) {
    return BindError{std::move(message), Record(), "invalid_args"};
}

BindError BindError::internal(std::string message) {
    return BindError{std::move(message), Record(), "internal"};
}

BindError BindError::from_core(VeltraError error) {
    BindError out{error.display(), Record(), error.code()};
    if (error.is<VeltraError::InvalidWeights>()) {
        const auto& w = error.as<VeltraError::InvalidWeights>();
        out.details.set("reason", Value::string(std::string(w.reason)));
    } else if (error.is<VeltraError::ResamplingDegenerate>()) {
        const auto& d = error.as<VeltraError::ResamplingDegenerate>();
        out.details.set("skipped", Value::count(d.skipped));
        out.details.set("total", Value::count(d.total));
        out.details.set("skip_rate", Value::real(d.skip_rate));
        out.details.set("threshold", Value::real(d.threshold));
    }
    return out;
}

}  // namespace veltra::bind
