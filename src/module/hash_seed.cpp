#include "module/hash_seed.hpp"

#include <Python.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/siphash.hpp"
#include "binding/py_ref.hpp"

namespace brindxml {

namespace {

// The interpreter's own rule: a decimal integer from 0 to 4294967295, or
// "random"; unset or empty means random. (Python refuses to start with any
// other value, so what is left over is taken as random.)
std::optional<uint64_t> parse_hash_seed(const char* text) {
    if (!text || !*text || std::strcmp(text, "random") == 0) return std::nullopt;
    const char* end = text + std::strlen(text);
    // As strtoul reads it, which the interpreter uses: leading white space and a plus sign.
    while (text < end && (*text == ' ' || (*text >= '\t' && *text <= '\r'))) ++text;
    if (text < end && *text == '+') ++text;
    uint64_t value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value > 4294967295u) return std::nullopt;
    return value;
}

}  // namespace

bool apply_hash_seed_setting() noexcept {
    // `python -E` and `-I` ignore PYTHONHASHSEED, so this does too.
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.flags");
        return false;
    }
    PyRef ignore = PyRef::steal(PyObject_GetAttrString(flags, "ignore_environment"));
    if (!ignore) return false;
    const int ignored = PyObject_IsTrue(ignore.get());
    if (ignored < 0) return false;
    if (ignored) return true;
    if (const std::optional<uint64_t> seed = parse_hash_seed(std::getenv("PYTHONHASHSEED"))) set_hash_seed(*seed);
    return true;
}

}  // namespace brindxml
