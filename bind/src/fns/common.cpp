#include <utility>

#include "fns/fns.hpp"

namespace veltra::bind::fns {

using namespace veltra::resample;

BindResult<Pls1Data> read_pls1_data(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(y, in.vec("y"));
    return Pls1Data{std::move(*X), std::move(*y)};
}

BindResult<Pls3Data> read_pls3_data(Inputs& in) {
    VELTRA_TRY(X, in.mat("X"));
    VELTRA_TRY(Y, pls3_y(in));
    return Pls3Data{std::move(*X), std::move(*Y)};
}

BindResult<RunFlags> read_run_flags(Inputs& in) {
    VELTRA_TRY(pre_standardized, in.boolean("pre_standardized"));
    VELTRA_TRY(seed, in.seed("seed"));
    VELTRA_TRY(verbose, in.boolean("verbose"));
    return RunFlags{*pre_standardized, *seed, *verbose};
}

BindResult<Pls3Flags> read_pls3_flags(Inputs& in) {
    VELTRA_TRY(x, in.boolean("pre_standardized_X"));
    VELTRA_TRY(y, in.boolean("pre_standardized_Y"));
    return Pls3Flags{*x, *y};
}

SubsampleOpts SubsampleArgs::opts() const {
    const SubsampleOpts defaults;
    return SubsampleOpts{n_boot.value_or(defaults.n_boot), m_rate.value_or(defaults.m_rate),
                         level.value_or(defaults.level),
                         max_failure_rate.value_or(defaults.max_failure_rate),
                         max_skip_rate.value_or(defaults.max_skip_rate)};
}

BindResult<SubsampleArgs> read_subsample_size(Inputs& in) {
    VELTRA_TRY(n_boot, in.opt_usize("n_boot"));
    VELTRA_TRY(m_rate, in.opt_f64("m_rate"));
    VELTRA_TRY(level, in.opt_f64("level"));
    return SubsampleArgs{*n_boot, *m_rate, *level, std::nullopt, std::nullopt};
}

}  // namespace veltra::bind::fns
