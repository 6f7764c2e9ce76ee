// The dictionary form of a node as plain values: HashmapTypes (one entry's
// value) and ValueMap (one node), and their conversions from Python objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/keyed_map.hpp"
#include "binding/conversions.hpp"

namespace brindxml {

struct HashmapTypes;
using ValueMap = KeyedMap<std::string, HashmapTypes>;

struct HashmapTypes {
    // The variant order is the tag, the order conversion tries them in and
    // the order error messages list them in.
    enum class Tag : uint8_t { String = 0, Vec = 1, NullableString = 2, Map = 3 };
    using Vec = std::vector<ValueMap>;
    using Variant = std::variant<std::string, Vec, std::optional<std::string>, StringMap>;

    Variant value;

    HashmapTypes() noexcept = default;
    explicit HashmapTypes(Variant v) noexcept : value(std::move(v)) {}
    HashmapTypes(HashmapTypes&&) noexcept = default;
    HashmapTypes& operator=(HashmapTypes&&) noexcept = default;
    HashmapTypes(const HashmapTypes&) = delete;
    HashmapTypes& operator=(const HashmapTypes&) = delete;
    // A Vec is freed with a work list, so a million nested maps do not
    // recurse a million times.
    ~HashmapTypes();

    Tag tag() const noexcept { return static_cast<Tag>(value.index()); }
    Vec* vec_if() noexcept { return std::get_if<Vec>(&value); }
};

// Frees maps (and everything nested in them) without recursion.
void release_value_maps(std::vector<ValueMap>&& maps) noexcept;

// Converts a dict with str keys whose values each fit a HashmapTypes variant.
// Runs without native recursion at any nesting depth. False with the
// exception set: the type mismatch of the dict or of a key, the four-variant
// TypeError of a value, or PanicException when a dict changes while it is read.
bool convert_value_map(PyObject* object, ValueMap& out);

// Converts one value: String, Vec, NullableString or Map, the first that fits.
bool convert_value(PyObject* object, HashmapTypes& out);

}  // namespace brindxml
