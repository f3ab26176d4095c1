"""Fit, predict, transform and rotate on a small spectroscopy-like data set.

A seeded generator makes 150 samples of a 60-channel spectrum built from
three overlapping absorption bands, with a quality value (one response) and
three lab measurements (a response block) that depend on the band
intensities. The script fits a PLS1 model of the quality value on 100
training samples and predicts the 50 held-out ones, fits a two-block model
of the lab measurements and scores the held-out samples with it, and rotates
the PLS1 weights by varimax. Every result comes back through `make_result`,
here one dataclass per result type, and is passed back in as it is.
"""

import dataclasses
import textwrap

import numpy as np

from veltra import _veltra

_classes = {}


def make_result(type_name, fields):
    cls = _classes.get(type_name)
    if cls is None:
        cls = dataclasses.make_dataclass(type_name, list(fields))
        _classes[type_name] = cls
    return cls(**fields)


def call(name, **arguments):
    result, warnings = _veltra.call(name, arguments, make_result)
    for warning in warnings:
        print(f"  warning: {warning['message']}")
    return result


def make_data(seed=20240611):
    rng = np.random.default_rng(seed)
    n, channels = 150, 60
    wavelength = np.linspace(900.0, 1700.0, channels)
    centres, widths = (1000.0, 1200.0, 1450.0), (60.0, 90.0, 70.0)
    bands = np.array([np.exp(-0.5 * ((wavelength - c) / w) ** 2) for c, w in zip(centres, widths)])
    intensity = rng.gamma(shape=4.0, scale=0.25, size=(n, 3))
    baseline = rng.normal(0.2, 0.05, size=(n, 1)) + np.outer(rng.normal(0, 0.02, n), wavelength / 1000)
    spectra = intensity @ bands + baseline + rng.normal(0, 0.01, size=(n, channels))
    quality = 3.0 * intensity[:, 0] - 1.5 * intensity[:, 2] + rng.normal(0, 0.1, n) + 50.0
    lab = intensity @ np.array([[1.0, 0.2, 0.0], [0.1, 1.0, 0.3], [0.0, 0.4, 1.0]])
    lab = lab * [10.0, 0.5, 200.0] + rng.normal(0, 0.05, size=(n, 3)) * [10.0, 0.5, 200.0]
    return wavelength, spectra, quality, lab


def r_squared(y, predicted):
    return 1.0 - np.sum((y - predicted) ** 2) / np.sum((y - y.mean()) ** 2)


def main():
    wavelength, X, y, Y = make_data()
    train, test = slice(0, 100), slice(100, None)
    print(f"data: X {X.shape}, y {y.shape}, Y {Y.shape}; {X[train].shape[0]} training rows")

    print("\nPLS1 of the quality value, k = 3")
    pls1 = call("pls1_fit", X=X[train], y=y[train], k=3)
    print(f"  {type(pls1).__name__}: T {pls1.T.shape}, W {pls1.W.shape}, k_used {pls1.k_used}")
    top = np.argsort(-np.abs(pls1.beta))[:4]
    coefficients = ", ".join(f"{wavelength[j]:.0f} nm: {pls1.beta[j]:+.3f}" for j in top)
    print(f"  largest raw-scale coefficients: {coefficients}")
    print(f"  intercept {pls1.intercept:.3f}")
    predicted = call("pls1_predict", model=pls1, X_new=X[test])
    print(f"  held-out predictions {predicted.shape}, R^2 = {r_squared(y[test], predicted):.4f}")

    print("\nsparse PLS1, 8 channels kept per component")
    sparse = call("spls1_fit", X=X[train], y=y[train], k=3, keep=8)
    kept = sorted({int(j) for j in np.flatnonzero(np.any(sparse.W != 0, axis=1))})
    print(f"  channels used: {len(kept)} of {X.shape[1]}")
    predicted = call("pls1_predict", model=sparse, X_new=X[test])
    print(f"  held-out R^2 = {r_squared(y[test], predicted):.4f}")

    print("\ntwo-block model of the lab measurements, k = 3")
    pls3 = call("pls3_fit", X=X[train], Y=Y[train], k=3)
    print(f"  {type(pls3).__name__}: U {pls3.U.shape}, V {pls3.V.shape}")
    print(f"  singular values {np.array2string(pls3.singular_values, precision=2)}")
    scores = call("pls3_transform", model=pls3, X_new=X[test], Y_new=Y[test])
    x_scores, y_scores = scores.x_scores, scores.y_scores
    corr = [np.corrcoef(x_scores[:, j], y_scores[:, j])[0, 1] for j in range(3)]
    print(f"  held-out scores {x_scores.shape}; score correlations "
          + ", ".join(f"{c:.3f}" for c in corr))
    svd = call("plssvd_fit", X=X[train], Y=Y[train], k=3)
    same = np.array_equal(svd.singular_values, pls3.singular_values)
    print(f"  plssvd_fit gives the same singular values: {same}")

    print("\nvarimax rotation of the PLS1 model")
    rotated = call("rotate", model_or_W=pls1)
    spec = rotated.rotation_spec
    print(f"  {type(spec).__name__}: method {spec.method}, {spec.sweeps} sweeps, "
          f"criterion {spec.V_converged:.4f}, options {spec.args}")
    print("  R =\n" + textwrap.indent(np.array2string(spec.R, precision=4), "    "))
    for j in range(rotated.W.shape[1]):
        peak = wavelength[np.argmax(np.abs(rotated.W[:, j]))]
        print(f"  rotated component {j + 1} peaks at {peak:.0f} nm")
    same = np.allclose(call("pls1_predict", model=rotated, X_new=X[test]),
                       call("pls1_predict", model=pls1, X_new=X[test]))
    print(f"  rotation leaves the predictions unchanged: {same}")
    try:
        call("rotate", model_or_W=rotated)
    except _veltra.VeltraException as exc:
        print(f"  rotating again: VeltraException {exc.code}: {exc}")


if __name__ == "__main__":
    main()
