#include "veltra/bind/registry.hpp"

#include <array>
#include <exception>
#include <iostream>
#include <utility>

#include "fns/fns.hpp"
#include "veltra/bind/error.hpp"
#include "veltra/bind/result_types.hpp"
#include "veltra/error.hpp"

namespace veltra::bind {

namespace {

using K = ParamKind;
constexpr ParamDefault req = ParamDefault::required();
constexpr ParamDefault none = ParamDefault::null();
constexpr ParamDefault no = ParamDefault::boolean(false);
constexpr ParamDefault one = ParamDefault::integer(1);
constexpr bool pos = false;  // positional or keyword
constexpr bool kw = true;    // keyword-only

// The parameters that several functions declare alike; a parameter that
// one function alone declares (or declares its own way) is written in that
// function's list.
constexpr ParamSpec X{"X", req, K::Mat, pos};
constexpr ParamSpec y{"y", req, K::Vec, pos};
constexpr ParamSpec Y{"Y", req, K::Mat, pos};
constexpr ParamSpec k_required{"k", req, K::Int, pos};
constexpr ParamSpec k_default{"k", one, K::Int, pos};
constexpr ParamSpec k_max{"k_max", req, K::Int, pos};
constexpr ParamSpec keep{"keep", req, K::Int, pos};
constexpr ParamSpec model{"model", req, K::Model, pos};
constexpr ParamSpec selector{"selector", ParamDefault::str("r2_se"), K::Str, kw};
constexpr ParamSpec diagnostic{"diagnostic", none, K::Str, kw};
constexpr ParamSpec test_method{"test_method", ParamDefault::str("auto"), K::Str, kw};
constexpr ParamSpec alpha{"alpha", none, K::Float, kw};
constexpr ParamSpec args{"args", none, K::Args, kw};
constexpr ParamSpec L{"L", none, K::Mat, kw};
constexpr ParamSpec n_boot{"n_boot", none, K::Int, kw};
constexpr ParamSpec m_rate{"m_rate", none, K::Float, kw};
constexpr ParamSpec level{"level", none, K::Float, kw};
constexpr ParamSpec pre_standardized{"pre_standardized", no, K::Bool, kw};
constexpr ParamSpec pre_standardized_X{"pre_standardized_X", no, K::Bool, kw};
constexpr ParamSpec pre_standardized_Y{"pre_standardized_Y", no, K::Bool, kw};
constexpr ParamSpec seed{"seed", none, K::Seed, kw};
constexpr ParamSpec verbose{"verbose", no, K::Bool, kw};
constexpr ParamSpec weights{"weights", none, K::Vec, kw};
constexpr ParamSpec max_skip_rate{"max_skip_rate", none, K::Float, kw};

// Each function's parameters in declaration order (positional ones first).
constexpr ParamSpec preprocess_params[] = {
    {"X", none, K::Mat, pos}, {"Y", none, K::VecOrMat, pos}, {"weights", none, K::Vec, pos}};
constexpr ParamSpec pls1_fit_params[] = {
    X, y, {"k", one, K::KOrMode, pos}, {"k_max", none, K::Int, kw},
    {"find_k_args", none, K::Args, kw}, pre_standardized, seed, weights};
constexpr ParamSpec pls1_predict_params[] = {model, {"X_new", req, K::Mat, pos}};
constexpr ParamSpec pls1_find_k_optimal_params[] = {
    X, y, k_max, selector, diagnostic, args, pre_standardized, seed, verbose, weights};
constexpr ParamSpec pls1_find_k_sequence_params[] = {
    X, y, k_max, test_method, alpha, args, pre_standardized, seed, verbose, weights};
constexpr ParamSpec spls1_fit_params[] = {X, y, k_required, keep, pre_standardized, weights};
constexpr ParamSpec spls1_find_keep_optimal_params[] = {
    X, y, k_required, args, seed, verbose, weights};
constexpr ParamSpec spls1_find_k_optimal_params[] = {
    X, y, k_max, keep, selector, diagnostic, args, pre_standardized, seed, verbose, weights};
constexpr ParamSpec spls1_find_k_sequence_params[] = {
    X, y, k_max, keep, test_method, alpha, args, pre_standardized, seed, verbose, weights};
// Shared by pls3_fit and plssvd_fit.
constexpr ParamSpec pls3_fit_params[] = {
    X, Y, k_default, pre_standardized_X, pre_standardized_Y, weights};
// Shared by pls3_transform and plssvd_transform.
constexpr ParamSpec pls3_transform_params[] = {
    model, {"X_new", none, K::Mat, pos}, {"Y_new", none, K::Mat, pos},
    {"which", ParamDefault::str("both"), K::Str, kw}};
constexpr ParamSpec spls3_fit_params[] = {
    X, Y, k_required, {"keep_X", req, K::Int, pos}, {"keep_Y", req, K::Int, pos},
    pre_standardized_X, pre_standardized_Y, {"max_iter", none, K::Int, kw},
    {"tol", none, K::Float, kw}, weights};
constexpr ParamSpec pls1_confirmatory_test_params[] = {
    X, y, k_default, test_method, args, {"ci", no, K::Bool, kw}, n_boot, m_rate, level,
    {"max_failure_rate", none, K::Float, kw}, pre_standardized, seed, verbose, weights,
    max_skip_rate};
constexpr ParamSpec split_nb_gate_params[] = {X, weights};
constexpr ParamSpec pls1_perm_null_params[] = {
    X, y, k_required, {"n_perm", none, K::Int, kw}, {"return_perm_matrix", no, K::Bool, kw},
    pre_standardized, seed, verbose, weights};
constexpr ParamSpec pls3_confirmatory_test_params[] = {
    X, Y, k_default, test_method, args, pre_standardized_X, pre_standardized_Y, seed, verbose};
constexpr ParamSpec pls1_perm_alpha_params[] = {
    {"gram", req, K::Mat, pos}, Y, k_default, {"n_features", req, K::Int, kw}};
constexpr ParamSpec rotate_params[] = {
    {"model_or_W", req, K::ModelOrMat, pos}, {"method", ParamDefault::str("varimax"), K::Str, kw},
    L, args};
constexpr ParamSpec pls1_rotation_stability_params[] = {
    X, y, k_required, {"rotation_method", ParamDefault::str("varimax"), K::Str, kw},
    {"rotation_args", none, K::Args, kw}, L, n_boot, m_rate, level, pre_standardized, seed,
    verbose, weights, max_skip_rate};

constexpr std::string_view preprocess_result[] = {"PreprocessResult"};
constexpr std::string_view pls1_result[] = {"PLS1Result"};
constexpr std::span<const std::string_view> bare_vector{};
constexpr std::string_view find_k_optimal_result[] = {"FindKOptimalResult"};
constexpr std::string_view find_k_sequence_result[] = {"FindKSequenceResult"};
constexpr std::string_view find_keep_optimal_result[] = {"FindKeepOptimalResult"};
constexpr std::string_view pls3_result[] = {"PLS3Result"};
constexpr std::string_view pls3_scores[] = {"PLS3Scores"};
constexpr std::string_view confirmatory_test_result[] = {"ConfirmatoryTestResult"};
constexpr std::string_view split_nb_gate_result[] = {"SplitNbGateResult"};
constexpr std::string_view perm_null_result[] = {"PermNullResult"};
constexpr std::string_view perm_alpha_result[] = {"PermAlphaResult"};
constexpr std::string_view rotate_results[] = {"RotateResult", "PLS1Result"};
constexpr std::string_view rotation_stability_result[] = {"RotationStabilityResult"};

constexpr std::array<FunctionSpec, 21> table = {{
    {"preprocess", preprocess_params, preprocess_result, fns::preprocess},
    {"pls1_fit", pls1_fit_params, pls1_result, fns::pls1_fit},
    {"pls1_predict", pls1_predict_params, bare_vector, fns::pls1_predict},
    {"pls1_find_k_optimal", pls1_find_k_optimal_params, find_k_optimal_result,
     fns::pls1_find_k_optimal},
    {"pls1_find_k_sequence", pls1_find_k_sequence_params, find_k_sequence_result,
     fns::pls1_find_k_sequence},
    {"spls1_fit", spls1_fit_params, pls1_result, fns::spls1_fit},
    {"spls1_find_keep_optimal", spls1_find_keep_optimal_params, find_keep_optimal_result,
     fns::spls1_find_keep_optimal},
    {"spls1_find_k_optimal", spls1_find_k_optimal_params, find_k_optimal_result,
     fns::spls1_find_k_optimal},
    {"spls1_find_k_sequence", spls1_find_k_sequence_params, find_k_sequence_result,
     fns::spls1_find_k_sequence},
    {"pls3_fit", pls3_fit_params, pls3_result, fns::pls3_fit},
    {"plssvd_fit", pls3_fit_params, pls3_result, fns::pls3_fit},
    {"pls3_transform", pls3_transform_params, pls3_scores, fns::pls3_transform},
    {"plssvd_transform", pls3_transform_params, pls3_scores, fns::pls3_transform},
    {"spls3_fit", spls3_fit_params, pls3_result, fns::spls3_fit},
    {"pls1_confirmatory_test", pls1_confirmatory_test_params, confirmatory_test_result,
     fns::pls1_confirmatory_test},
    {"split_nb_gate", split_nb_gate_params, split_nb_gate_result, fns::split_nb_gate},
    {"pls1_perm_null", pls1_perm_null_params, perm_null_result, fns::pls1_perm_null},
    {"pls3_confirmatory_test", pls3_confirmatory_test_params, confirmatory_test_result,
     fns::pls3_confirmatory_test},
    {"pls1_perm_alpha", pls1_perm_alpha_params, perm_alpha_result, fns::pls1_perm_alpha},
    {"rotate", rotate_params, rotate_results, fns::rotate},
    {"pls1_rotation_stability", pls1_rotation_stability_params, rotation_stability_result,
     fns::pls1_rotation_stability},
}};

constexpr std::string_view kind_texts[] = {
    "mat", "vec", "vec_or_mat", "int", "seed", "float",
    "bool", "str", "k_or_mode", "args", "model", "model_or_mat",
};

std::string quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out.push_back('\'');
    out.append(name);
    out.push_back('\'');
    return out;
}

Value default_value(const ParamDefault& d) {
    switch (d.tag) {
        case ParamDefault::Tag::Bool:
            return Value::boolean(d.b);
        case ParamDefault::Tag::Int:
            return Value::int64(d.i);
        case ParamDefault::Tag::Str:
            return Value::string(std::string(d.s));
        case ParamDefault::Tag::Required:
        case ParamDefault::Tag::Null:
            break;
    }
    return Value();
}

const ParamSpec* find_param(const FunctionSpec& fn, std::string_view name) {
    for (const ParamSpec& p : fn.params)
        if (p.name == name) return &p;
    return nullptr;
}

// The guard around an adapter: whatever escapes it (a broken invariant, a
// failed allocation, any other exception) ends only this call.
BindResult<CallOutput> run_guarded(const FunctionSpec& fn, Inputs& in) {
    const auto panic = [&](std::string_view text) {
        return std::unexpected(
            BindError::internal("panic in " + std::string(fn.name) + ": " + std::string(text)));
    };
    try {
        return fn.handler(in);
    } catch (const InternalFailure& e) {
        // Already reported where it was raised.
        return panic(e.what());
    } catch (const std::exception& e) {
        std::cerr << "veltra: exception escaped " << fn.name << ": " << e.what() << '\n'
                  << std::flush;
        return panic(e.what());
    } catch (...) {
        std::cerr << "veltra: non-standard exception escaped " << fn.name << '\n' << std::flush;
        return panic("non-string panic payload");
    }
}

void append_default_json(std::string& out, const ParamDefault& d) {
    switch (d.tag) {
        case ParamDefault::Tag::Required:
        case ParamDefault::Tag::Null:
            out += "null";
            return;
        case ParamDefault::Tag::Bool:
            out += d.b ? "true" : "false";
            return;
        case ParamDefault::Tag::Int:
            out += std::to_string(d.i);
            return;
        case ParamDefault::Tag::Str:
            out += json_str(d.s);
            return;
    }
}

std::string build_registry_json() {
    std::string out = "{\n  \"functions\": [\n";
    bool first_fn = true;
    for (const FunctionSpec& fn : table) {
        if (!first_fn) out += ",\n";
        first_fn = false;
        out += "    {\"name\": " + json_str(fn.name) + ", \"result_types\": [";
        for (std::size_t i = 0; i < fn.result_types.size(); ++i) {
            if (i > 0) out += ", ";
            out += json_str(fn.result_types[i]);
        }
        out += "], \"params\": [\n";
        bool first_param = true;
        for (const ParamSpec& p : fn.params) {
            if (!first_param) out += ",\n";
            first_param = false;
            out += "        {\"name\": " + json_str(p.name);
            out += ", \"kind\": " + json_str(param_kind_text(p.kind));
            out += ", \"required\": ";
            out += p.default_value.tag == ParamDefault::Tag::Required ? "true" : "false";
            out += ", \"keyword_only\": ";
            out += p.keyword_only ? "true" : "false";
            out += ", \"default\": ";
            append_default_json(out, p.default_value);
            out += "}";
        }
        out += "\n    ]}";
    }
    out += "\n  ],\n  \"result_types\": [\n";
    bool first_type = true;
    for (const ResultTypeSpec& t : result_types()) {
        if (!first_type) out += ",\n";
        first_type = false;
        out += "    {\"name\": " + json_str(t.name) + ", \"r_class\": " + json_str(t.r_class) +
               ", \"fields\": [\n";
        bool first_field = true;
        for (const FieldSpec& f : t.fields) {
            if (!first_field) out += ",\n";
            first_field = false;
            out += "        {\"name\": " + json_str(f.name) + ", \"type\": " + json_str(f.type) +
                   ", \"nullable\": " + (f.nullable ? "true" : "false") + "}";
        }
        out += "\n    ]}";
    }
    out += "\n  ]\n}\n";
    return out;
}

}  // namespace

std::string_view param_kind_text(ParamKind kind) {
    const auto i = static_cast<std::size_t>(kind);
    internal_check(i < std::size(kind_texts), "parameter kind out of range");
    return kind_texts[i];
}

std::span<const FunctionSpec> functions() { return table; }

const FunctionSpec* find_function(std::string_view name) {
    for (const FunctionSpec& fn : table)
        if (fn.name == name) return &fn;
    return nullptr;
}

BindResult<CallOutput> call(std::string_view name, Record arguments) {
    const FunctionSpec* fn = find_function(name);
    if (fn == nullptr)
        return std::unexpected(BindError::invalid_argument("unknown function " + quoted(name)));
    return dispatch(*fn, std::move(arguments));
}

BindResult<CallOutput> dispatch(const FunctionSpec& fn, Record arguments) {
    std::vector<Field> entries = std::move(arguments).into_fields();
    const std::string fname(fn.name);

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& arg = entries[i].name;
        if (find_param(fn, arg) == nullptr)
            return std::unexpected(BindError::invalid_argument(
                fname + "() got an unexpected argument " + quoted(arg)));
        // A record built without `push` could repeat a name; the reader
        // relies on names being unique.
        for (std::size_t j = 0; j < i; ++j)
            if (entries[j].name == arg)
                return std::unexpected(BindError::invalid_argument("duplicate key " + quoted(arg)));
    }

    const std::size_t given = entries.size();
    for (const ParamSpec& p : fn.params) {
        Field* present = nullptr;
        for (std::size_t i = 0; i < given; ++i)
            if (entries[i].name == p.name) present = &entries[i];
        if (present != nullptr && !present->value.is_none()) continue;
        if (p.default_value.tag == ParamDefault::Tag::Required)
            return std::unexpected(BindError::invalid_argument(
                fname + "() missing required argument " + quoted(p.name)));
        if (present != nullptr)
            present->value = default_value(p.default_value);
        else
            entries.push_back(Field{std::string(p.name), default_value(p.default_value)});
    }

    Inputs in(fn.name, std::move(entries));
    return run_guarded(fn, in);
}

std::string registry_json() {
    static const std::string text = build_registry_json();
    return text;
}

std::string json_str(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20) {
            out += "\\u00";
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace veltra::bind
