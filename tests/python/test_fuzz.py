"""A seeded property-based fuzz test of call(): random argument structures
and extreme values over every registered function. Each call must end in a
result, a VeltraException or a TypeError, must leave its inputs unwritten,
and must not turn finite input into a non-finite result where the true value
lies in the double range.

VELTRA_FUZZ_EXAMPLES sets the number of examples (a small budget by
default); runs are derandomised, so a failure reproduces."""

import collections
import hashlib
import json
import math
import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from veltra import _veltra

VE = _veltra.VeltraException
REGISTRY = json.loads(_veltra.registry_json())["functions"]
FUNCTIONS = {f["name"]: f for f in REGISTRY}
EXAMPLES = int(os.environ.get("VELTRA_FUZZ_EXAMPLES", "2000"))
OUTCOMES = collections.Counter()

# Inputs whose every real is zero or within this band give results whose true
# values are far inside the double range: the results hold ratios of spreads
# (raw-scale coefficients) and fourth powers (the varimax criterion without
# Kaiser normalisation), never more.
BAND = (2.0**-200, 2.0**200)

# Fields whose true value is in the double range for any finite input of the
# fits on raw data: means and spreads, standardised-scale quantities, unit
# vectors and rotations. Raw-scale coefficients, intercepts and scores of new
# rows can exceed it.
BOUNDED = {
    "PreprocessResult": {"X_mean", "X_scale", "Y_mean", "Y_scale", "weights_normalized", "n_eff",
                         "X_std", "Y_std"},
    "PLS1Result": {"T", "P", "W", "Q", "coef", "weights", "n_eff"},
    "PLS3Result": {"U", "V", "singular_values", "x_scores", "y_scores", "X_mean", "X_scale",
                   "Y_mean", "Y_scale"},
    "RotationSpec": {"R"},
}
RAW_DATA_FITS = {"preprocess", "pls1_fit", "spls1_fit", "pls3_fit", "plssvd_fit", "spls3_fit"}

SPECIAL = [0.0, -0.0, 1.0, -2.5, 1e-300, -5e-324, 2.0**-1022, 1e150, -1e150, 1e-150, 1.7e308,
           -1.7e308, 8.98846567431158e307, math.nan, math.inf, -math.inf]
reals = st.sampled_from(SPECIAL) | st.floats(width=64)
WORDS = ["optimal", "sequence", "varimax", "x_scores", "both", "auto", "split_nb", "e", "bic", "",
         "18446744073709551615", "é"]
words = st.sampled_from(WORDS) | st.text(st.characters(exclude_categories=("Cs",)), max_size=4)
OPTION_KEYS = ["max_iter", "tol", "kaiser_normalize", "n_folds", "n_perm", "n_splits", "force",
               "bogus"]
DTYPES = ["f8", "f8", "f8", ">f8", "f4", "f2", "i8", "i4", "u1", "?", "c16", "U2", "O"]
LAYOUTS = ["C", "F", "strided", "reversed"]
small_counts = st.integers(0, 30)


def laid_out(a, layout):
    """`a` (a fresh array) in one memory layout."""
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "strided":
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if layout == "reversed":
        return np.ascontiguousarray(a[::-1])[::-1]
    return np.ascontiguousarray(a)


@st.composite
def arrays(draw, shape, clean=False):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = rng.standard_normal(shape) * draw(st.sampled_from([1.0, 1e-300, 1e150, 1e300, 1e307]))
    if len(shape) == 2 and shape[1] > 0 and draw(st.booleans()):
        j = draw(st.integers(0, shape[1] - 1))
        values[:, j] = draw(reals) * draw(st.sampled_from([1.0, -1.0])) ** np.arange(shape[0])
    for _ in range(draw(st.integers(0, 2))):
        if values.size:
            values.flat[draw(st.integers(0, values.size - 1))] = draw(reals)
    dtype = np.dtype("f8" if clean else draw(st.sampled_from(DTYPES)))
    with np.errstate(all="ignore"):
        if dtype.kind in "iu":
            values = np.clip(np.nan_to_num(values), -100, 100)
        a = values.astype(dtype)
    return laid_out(a, draw(st.sampled_from(LAYOUTS)))


def anything(dims):
    shapes = st.sampled_from([(dims["n"],), (dims["n"], dims["p"])])
    leaves = (st.none() | st.booleans() | st.integers(-(2**65), 2**65) | reals | words
              | shapes.flatmap(arrays))
    return st.recursive(
        leaves,
        lambda inner: st.lists(inner, max_size=3) | st.dictionaries(words, inner, max_size=3)
        | st.dictionaries(st.integers(-3, 3), inner, max_size=3),
        max_leaves=6,
    )


SHAPES = {"X": "np", "y": "n", "Y": "nq", "weights": "n", "X_new": "mp", "Y_new": "mq",
          "L": "nq", "model_or_W": "pq", "gram": "pp"}
VALID = {"which": ["x_scores", "y_scores", "both"], "method": ["varimax"]}


def by_kind(param, dims, models, clean):
    """A value of the parameter's kind: well formed when `clean`, else
    anything of roughly that kind."""
    kind, name = param["kind"], param["name"]
    shape = tuple(dims[c] for c in SHAPES.get(name, "np" if kind.endswith("mat") else "n"))
    if kind in ("mat", "vec", "vec_or_mat"):
        shapes = st.just(shape) if kind != "vec_or_mat" else st.sampled_from([(dims["n"],), (dims["n"], dims["q"])])
        if clean:
            return shapes.flatmap(lambda s: arrays(s, True))
        return shapes.flatmap(arrays) | st.lists(reals | st.integers(-3, 3), max_size=4)
    if kind == "model_or_mat":
        return arrays(shape, clean) | st.sampled_from(models["pls1"] if clean else models["any"])
    if kind == "model":
        return st.sampled_from(models["pls3" if "pls3" in param["function"] or "svd" in param["function"]
                                      else "pls1"] if clean else models["any"])
    if name == "max_iter":
        return small_counts if clean else small_counts | st.sampled_from([1.5, -1, "t"])
    if clean:
        return {
            "int": st.integers(1, 3), "k_or_mode": st.integers(1, 3), "bool": st.booleans(),
            "float": st.sampled_from([1e-8, 0.05, 0.5]), "seed": st.integers(0, 2**64 - 1),
            "str": st.sampled_from(VALID.get(name, [param["default"]])),
            "args": st.none() | st.fixed_dictionaries({"max_iter": small_counts, "tol": reals,
                                                       "kaiser_normalize": st.booleans()}),
        }[kind]
    return {
        "int": st.integers(0, 6) | st.integers(-(2**64), 2**65) | st.sampled_from([2.5, 3.0, "3"]),
        "k_or_mode": st.integers(0, 6) | words,
        "float": reals | st.integers(-3, 3),
        "bool": st.booleans() | st.sampled_from([np.bool_(True), 0, "yes"]),
        "str": words,
        "seed": st.integers(-1, 2**64) | words,
        "args": st.dictionaries(st.sampled_from(OPTION_KEYS), anything(dims), max_size=3),
    }[kind]


@st.composite
def calls(draw, models):
    # Structural choices come from one seeded generator, so that most calls
    # are well formed and reach the engine, and some are not.
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    fn = FUNCTIONS[rng.choice(sorted(FUNCTIONS))]
    dims = {c: int(rng.choice([0, 1, 2, 3, 4, 5, 5, 8, 8, 12])) for c in "npqm"}
    hostility = rng.choice([0.0, 0.0, 0.0, 0.1, 0.3])
    if hostility == 0.0 and any(p["kind"] == "model" for p in fn["params"]):
        dims.update(p=4, q=3)  # the models' own widths
    arguments = {}
    for param in fn["params"]:
        r = rng.random()
        if r < hostility / 3 or (r < 0.5 and not param["required"]):
            continue
        if hostility == 0.0 and param["name"] in ("k_max", "find_k_args"):
            continue  # they apply to the k searches only
        if r < hostility and param["name"] != "max_iter" and param["kind"] != "args":
            arguments[param["name"]] = draw(anything(dims))
        else:
            param = {**param, "function": fn["name"]}
            arguments[param["name"]] = draw(by_kind(param, dims, models, hostility == 0.0))
            if hostility == 0.0 and param["name"] == "weights":
                arguments["weights"] = np.abs(arguments["weights"])
    if rng.random() < 0.05:
        arguments[draw(words)] = draw(anything(dims))
    keys = list(arguments)
    return fn["name"], {keys[i]: arguments[keys[i]] for i in rng.permutation(len(keys))}


def fingerprint(value):
    """Everything a call could write: array memory (through the whole base
    chain), container contents and object identities."""
    if isinstance(value, np.ndarray):
        root = value
        while isinstance(root.base, np.ndarray):
            root = root.base
        digest = hashlib.sha256(root.tobytes() if root.dtype.kind != "O" else repr(root).encode())
        return ("array", digest.hexdigest(), value.shape, value.strides, value.dtype.str)
    if isinstance(value, dict):
        return ("dict", id(value), tuple((k, id(v), fingerprint(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, id(value), tuple(fingerprint(v) for v in value))
    return (type(value).__name__, repr(value))


def input_reals(value):
    """The reals of numeric input, as float64 arrays."""
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "biuf":
            with np.errstate(all="ignore"):
                yield np.asarray(value, dtype=np.float64).ravel()
    elif isinstance(value, (dict, list, tuple)):
        for v in value.values() if isinstance(value, dict) else value:
            yield from input_reals(v)
    elif isinstance(value, float) or (isinstance(value, int) and not isinstance(value, bool)
                                      and abs(value) < 2**64):
        yield np.array([float(value)])


class Typed(dict):
    pass


def typed(type_name, fields):
    record = Typed(fields)
    record.type_name = type_name
    return record


def non_finite(value, fields=None, skip=()):
    """Paths of the non-finite reals in a result; only of the fields that
    `fields` names by record type, when given, and never of those in `skip`."""
    if isinstance(value, np.ndarray):
        return [] if np.all(np.isfinite(value)) else [""]
    if isinstance(value, float):
        return [] if math.isfinite(value) else [""]
    if isinstance(value, dict):
        type_name, out = getattr(value, "type_name", None), []
        for k, v in value.items():
            if k in skip or (fields is not None and not isinstance(v, dict)
                             and k not in fields.get(type_name, ())):
                continue
            out += [f".{k}{p}" for p in non_finite(v, fields, skip)]
        return out
    if isinstance(value, list):
        return [f"[{i}]{p}" for i, v in enumerate(value) for p in non_finite(v, fields, skip)]
    return []


# Results that the statistics define as NaN where the data give them no
# meaning: a z against a null without spread, a column the n-space kernel
# leaves unresolved, the scores of candidates above the fitted component
# count, and the statistic, p-value or rank of a test with no usable split.
DEFINED_NAN = {"beta_perm_z", "alpha", "cv_scores", "cv_scores_se", "pvalue", "statistic", "rho_hat",
               "stable_rank"}


def assert_finite_where_representable(name, arguments, result):
    parts = list(input_reals(arguments))
    values = np.concatenate(parts) if parts else np.zeros(0)
    if not np.all(np.isfinite(values)):
        return
    skip = set(DEFINED_NAN)
    if name == "rotate":
        criterion = arguments.get("L")
        criterion = arguments.get("model_or_W") if criterion is None else criterion
        if not isinstance(criterion, np.ndarray) or criterion.shape[0] == 0:
            skip.add("V_converged")  # a mean over no rows, or of fields a model only claims
    magnitudes = np.abs(values[values != 0])
    if np.all((magnitudes >= BAND[0]) & (magnitudes <= BAND[1])):
        bad = non_finite(result, skip=skip)
        assert not bad, f"{name}: non-finite {bad} from moderate finite input"
        return
    if any(arguments.get(k) is True for k in ("pre_standardized", "pre_standardized_X",
                                              "pre_standardized_Y")):
        return
    fields = dict(BOUNDED)
    if arguments.get("weights") is not None:
        # A row of weight zero standardises against the others' spread alone.
        fields["PreprocessResult"] = BOUNDED["PreprocessResult"] - {"X_std", "Y_std"}
    if name == "rotate":
        options = arguments.get("args")
        kaiser = not isinstance(options, dict) or options.get("kaiser_normalize", True) is not False
        if not isinstance(arguments.get("model_or_W"), np.ndarray):
            return
        fields = {"RotationSpec": {"R", "V_converged"} if kaiser else {"R"}}
    elif name not in RAW_DATA_FITS:
        return
    bad = non_finite(result, fields, skip)
    assert not bad, f"{name}: non-finite {bad} from finite input, where the true value is in range"


def one_call(name, arguments):
    before = fingerprint(arguments)
    try:
        result, warnings = _veltra.call(name, arguments, typed)
    except VE as exc:
        OUTCOMES[f"VeltraException {exc.code}"] += 1
        if exc.code == "internal":
            # Only a count too large to allocate for may fail as internal.
            allocation = ("std::bad_alloc", "larger than max_size()")
            assert str(exc).endswith(allocation), f"{name}: {exc}"
    except TypeError:
        OUTCOMES["TypeError"] += 1
    else:
        OUTCOMES["result"] += 1
        assert isinstance(warnings, list)
        assert_finite_where_representable(name, arguments, result)
    assert fingerprint(arguments) == before, f"{name} wrote its input"


def models():
    rng = np.random.default_rng(3)
    X, Y = rng.standard_normal((12, 4)), rng.standard_normal((12, 3))
    pls1 = _veltra.call("pls1_fit", {"X": X, "y": Y[:, 0], "k": 2}, typed)[0]
    pls3 = _veltra.call("spls3_fit", {"X": X, "Y": Y, "k": 2, "keep_X": 2, "keep_Y": 2}, typed)[0]
    rotated = _veltra.call("rotate", {"model_or_W": pls1}, typed)[0]
    broken = typed("PLS1Result", {**pls1, "W": pls1["W"] * 1e300, "beta": -pls1["beta"][::-1]})
    junk = [broken, typed("PLS3Result", {**pls3, "U": None}), {}, 5]
    return {"pls1": [pls1, dict(pls1)], "pls3": [pls3, dict(pls3)], "any": [pls1, pls3, rotated] + junk}


MODELS = models()


@settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
          suppress_health_check=list(HealthCheck))
@given(calls(MODELS))
def fuzz(call):
    one_call(*call)


def test_fuzz_call():
    OUTCOMES.clear()
    fuzz()
    total = sum(OUTCOMES.values())
    print(f"\nfuzz: {total} calls: " + ", ".join(f"{k} {v}" for k, v in OUTCOMES.most_common()))
    assert OUTCOMES["result"] > 0
