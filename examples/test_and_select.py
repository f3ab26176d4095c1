"""Is there signal in the spectra, and how many components carry it?

Uses the generated data of fit_and_rotate.py (150 spectra of three
overlapping bands, one quality value). pls1_find_k_optimal chooses the
component count by 10-fold cross-validated R² with the one-standard-error
rule; pls1_confirmatory_test then asks whether the spectra predict the
quality value at all at that count (the method is chosen automatically),
with subsample intervals for the coefficients. The same seed reproduces
every number bit for bit, on any thread count.
"""

import numpy as np

from fit_and_rotate import call, make_data


def main():
    wavelength, X, y, _ = make_data()
    search = call("pls1_find_k_optimal", X=X, y=y, k_max=8, seed=11, args={"n_folds": 10})
    print(f"component search ({search.selector}, seed {search.seed}): k* = {search.k_star}")
    for k, r2 in search.cv_scores.items():
        se = search.cv_scores_se[k]
        mark = "  <- chosen" if k == search.k_star else ""
        print(f"  k = {k}: CV R² {r2:.4f} ± {se:.4f}{mark}")

    k = max(search.k_star, 1)
    test = call("pls1_confirmatory_test", X=X, y=y, k=k, seed=11, ci=True, n_boot=200)
    print(f"confirmatory test ({test.test_method}, k = {test.k}, seed {test.seed}): "
          f"statistic {test.statistic:.4f}, p = {test.pvalue:.4g}")
    ci = test.ci
    held = ci.holdout_corr
    print(f"  {ci.n_boot} subsamples of m = {ci.m} rows: held-out correlation {held.point:.3f} "
          f"[{held.lower:.3f}, {held.upper:.3f}] at level {ci.level}")
    top = np.argsort(-np.abs(ci.beta_sign_z))[:3]
    for j in top:
        print(f"  channel {wavelength[j]:.0f} nm: coefficient interval "
              f"[{ci.beta_ci_lower[j]:+.4f}, {ci.beta_ci_upper[j]:+.4f}], sign z {ci.beta_sign_z[j]:.1f}")


if __name__ == "__main__":
    main()
