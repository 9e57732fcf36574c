// A class's constructor declared once, as a table with one row per
// parameter: its name, the member of the configuration it sets, and its line
// of documentation.  The protocol reads the table to parse and convert the
// constructor's arguments, to answer the read-only properties, to build
// `__getnewargs__` and to write the class docstring with its text signature;
// defaults are those of the configuration record's own member initialisers.
#pragma once

#include "convert.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "frame/json.hpp"

namespace morvik3::py {

// One parameter.  `property_doc` is the docstring of the property that reads
// it back, when that says more than `doc` (or nothing: no property, the name
// being a method's).
template <class Config, class T>
struct Parameter {
    const char* name;
    T Config::* member;
    const char* doc;
    bool required = false;
    const char* property_doc = nullptr;
    bool property = true;

    // The property reads the value as given, which `doc` does not say.
    [[nodiscard]] constexpr Parameter read_back_as(const char* text) const {
        Parameter p = *this;
        p.property_doc = text;
        return p;
    }
    // A method of the class already answers it.
    [[nodiscard]] constexpr Parameter without_property() const {
        Parameter p = *this;
        p.property = false;
        return p;
    }
    [[nodiscard]] constexpr const char* property_text() const { return property_doc ? property_doc : doc; }
};

template <class Config, class T>
constexpr Parameter<Config, T> required(const char* name, T Config::* member, const char* doc) {
    return {name, member, doc, true};
}
template <class Config, class T>
constexpr Parameter<Config, T> optional(const char* name, T Config::* member, const char* doc) {
    return {name, member, doc, false};
}

// How the "Parameters" section gives a default: numpydoc's "int, default 32",
// or "int, optional" with "(default 32)" closing the description.
enum class DefaultsStyle { in_type, in_text };

// The constructor's closing `seed=None`, described by `doc`.
struct SeedParameter {
    const char* doc;
};

// The docstrings of the document methods every class has.
struct DocumentDocs {
    const char* to_json;
    const char* from_json;
    const char* save_json;
    const char* load_json;
};

// Those of a class whose state is "the detector state".
inline constexpr DocumentDocs detector_state_docs = {
    "Serialize the detector state to JSON.",
    "Deserialize detector state from a JSON string previously written by `to_json()`.",
    "Serialize the detector state to a JSON file.",
    "Deserialize detector state from a JSON file previously written by `save_json()`.",
};

inline bool to_value(PyObject* o, const char* name, std::uint64_t& out) { return to_u64(o, name, out); }
inline bool to_value(PyObject* o, const char* name, double& out) { return to_f64(o, name, out); }
inline bool to_value(PyObject* o, const char* name, bool& out) { return to_bool(o, name, out); }

namespace table {

template <class T>
constexpr const char* type_word() {
    if constexpr (std::is_same_v<T, bool>) {
        return "bool";
    } else if constexpr (std::is_floating_point_v<T>) {
        return "float";
    } else {
        return "int";
    }
}

// A default as Python writes the literal.
template <class T>
std::string literal(T v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? "True" : "False";
    } else if constexpr (std::is_floating_point_v<T>) {
        std::string s;
        json::write_f64(s, v);
        return s;
    } else {
        return std::to_string(v);
    }
}

template <class C>
constexpr std::size_t parameter_count() {
    return std::tuple_size_v<std::remove_cvref_t<decltype(C::parameters)>>;
}

template <class C>
constexpr bool takes_seed() {
    return requires { C::seed; };
}

// Arguments the constructor takes, the seed included.
template <class C>
constexpr std::size_t argument_count() {
    return parameter_count<C>() + (takes_seed<C>() ? 1 : 0);
}

template <class C>
constexpr std::size_t required_count() {
    return std::apply([](const auto&... p) { return (std::size_t{0} + ... + (p.required ? 1 : 0)); }, C::parameters);
}

// The docstring: the text signature, the summary, then one entry per
// parameter in numpydoc's form.
template <class C>
std::string class_doc() {
    using Config = typename C::Config;
    const Config defaults{};
    constexpr bool in_text = C::defaults_style == DefaultsStyle::in_text;
    std::string signature = std::string(C::name) + "(";
    std::string entries;
    const auto add = [&](const char* name, const char* type, const std::string* value, std::string doc) {
        if (!entries.empty()) {
            signature += ", ";
            entries += "\n";
        }
        signature += name;
        entries.append(name).append(" : ").append(type);
        if (value != nullptr) {
            signature.append("=").append(*value);
            if (in_text) {
                entries += ", optional";
                if (*value != "None") doc.insert(doc.size() - 1, " (default " + *value + ")");
            } else {
                entries.append(", default ").append(*value);
            }
        }
        entries.append("\n    ").append(doc);
    };
    std::apply(
        [&](const auto&... p) {
            (
                [&] {
                    using T = std::remove_cvref_t<decltype(defaults.*(p.member))>;
                    const std::string value = literal<T>(defaults.*(p.member));
                    add(p.name, type_word<T>(), p.required ? nullptr : &value, p.doc);
                }(),
                ...);
        },
        C::parameters);
    if constexpr (takes_seed<C>()) {
        const std::string none = "None";
        add("seed", in_text ? "int" : "int or None", &none, C::seed.doc);
    }
    return signature + ")\n--\n\n" + C::summary + "\n\nParameters\n----------\n" + entries;
}

}  // namespace table

}  // namespace morvik3::py
