"""How much does varimax steady the PLS1 weights of the spectroscopy data?

Uses the generated data of fit_and_rotate.py (150 spectra of three
overlapping bands). pls1_rotation_stability fits the 3-component model on
all samples, then refits it on 1000 subsamples of ceil(150^0.7) = 34 rows and
compares each subsample's weights with the full-data weights, once as they
come (after matching columns and signs) and once after the same varimax
rotation. A ratio of rotated to unrotated spread below 1 means the rotated
components are the steadier ones; the interval is a bootstrap over the
subsamples.
"""

import numpy as np

from fit_and_rotate import call, make_data


def main():
    wavelength, X, y, _ = make_data()
    out = call("pls1_rotation_stability", X=X, y=y, k=3, n_boot=1000, seed=7)
    print(f"{out.method} on {X.shape[0]} samples, {out.n_boot} subsamples of m = {out.m} rows "
          f"(m_rate {out.m_rate}), seed {out.seed}; {out.n_boot_finite} subsample fits used")
    print(f"spread of the weights around the full-data fit: unrotated {out.variance_unrot:.4f}, "
          f"rotated {out.variance_rot:.4f}")
    ci = out.variance_ratio
    print(f"rotated / unrotated = {ci.point:.3f}, {out.level:.0%} interval "
          f"[{ci.lower:.3f}, {ci.upper:.3f}], bootstrap sd {ci.sd:.3f}")
    full = call("rotate", model_or_W=call("pls1_fit", X=X, y=y, k=3))
    for j, (axis, u, r) in enumerate(zip(out.variance_ratio_per_axis,
                                         out.variance_unrot_per_axis, out.variance_rot_per_axis)):
        peak = wavelength[np.argmax(np.abs(full.W[:, j]))]
        print(f"  axis {j + 1}: unrotated spread {u:.4f}, rotated {r:.4f} (rotated weights peak at "
              f"{peak:.0f} nm), ratio {axis.point:.3f} [{axis.lower:.3f}, {axis.upper:.3f}]")
    verdict = "steadier" if ci.upper < 1 else "not clearly steadier"
    print(f"the rotated weights are {verdict} than the unrotated ones")


if __name__ == "__main__":
    main()
