#include "read/attribute_parser.hpp"

#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "base/join.hpp"
#include "read/decode_references.hpp"

namespace brindxml {

namespace {

// Up to this many attributes, duplicates are found by comparing names (no
// hashing); beyond it the map itself finds them.
constexpr size_t kLinearDuplicateCheck = 16;

inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
inline bool ends_attribute_name(char c) noexcept { return is_space(c) || c == '=' || c == '"' || c == '\''; }

}  // namespace

std::optional<ReadError> parse_attributes(ViewMaker& views, uint64_t begin, uint64_t end, AttrMap& attrs,
                                          AttributeScratch& scratch) {
    const char* doc = views.document();
    auto& pending = scratch.attributes;
    pending.clear();
    bool in_map = false;  // past kLinearDuplicateCheck: entries go straight into `attrs`
    uint64_t i = begin;
    for (;;) {
        const uint64_t space_start = i;
        while (i < end && is_space(doc[i])) ++i;
        if (i >= end) break;
        if (i == space_start) return ReadError::malformed(i, "expected whitespace before attribute");

        const uint64_t name_begin = i;
        while (i < end && !ends_attribute_name(doc[i])) ++i;
        if (i == name_begin) return ReadError::malformed(i, "expected attribute name");
        const uint64_t name_end = i;
        const std::string_view name(doc + name_begin, static_cast<size_t>(name_end - name_begin));

        while (i < end && is_space(doc[i])) ++i;
        if (i >= end || doc[i] != '=') return ReadError::malformed(name_begin, joined({"attribute '", name, "' has no value"}));
        ++i;
        while (i < end && is_space(doc[i])) ++i;
        if (i >= end || (doc[i] != '"' && doc[i] != '\''))
            return ReadError::malformed(i, joined({"value of attribute '", name, "' is not quoted"}));

        const uint64_t value_begin = i + 1;
        const uint64_t value_end = bytes::find_byte_near(doc, value_begin, end, doc[i]);
        if (value_end >= end) return ReadError::malformed(value_begin, "unterminated attribute value");

        NodeString value;
        // One pass answers the common case: nothing to reject, nothing to decode.
        const uint64_t special = bytes::find_any<'<', '&', '\t', '\n', '\r'>(doc, value_begin, value_end);
        if (special == value_end) {
            value = views.view(value_begin, value_end);
        } else {
            const uint64_t lt = bytes::find_byte(doc, special, value_end, '<');
            if (lt < value_end) return ReadError::malformed(lt, "'<' is not allowed in attribute values");
            auto decoded = decode_references(std::string_view(doc + value_begin, static_cast<size_t>(value_end - value_begin)),
                                             value_begin, ReferenceMode::Attribute);
            if (!decoded) return std::move(decoded).error();
            value = decoded.value().changed ? std::move(decoded.value().decoded)
                                            : views.view(value_begin, value_end);
        }

        if (!in_map) {
            for (const auto& earlier : pending)
                if (std::string_view(doc + earlier.name_begin, static_cast<size_t>(earlier.name_end - earlier.name_begin)) == name)
                    return ReadError::malformed(name_begin, joined({"duplicate attribute '", name, "'"}));
            pending.push_back({name_begin, name_end, std::move(value)});
            if (pending.size() == kLinearDuplicateCheck) {
                attrs.reserve(2 * kLinearDuplicateCheck);
                for (auto& a : pending)
                    attrs.insert_new(views.view(a.name_begin, a.name_end), std::move(a.value));
                pending.clear();
                in_map = true;
            }
        } else if (!attrs.insert_or_assign(views.view(name_begin, name_end), std::move(value))) {
            return ReadError::malformed(name_begin, joined({"duplicate attribute '", name, "'"}));
        }
        i = value_end + 1;
    }
    if (!pending.empty()) {
        attrs.reserve(pending.size());
        for (auto& a : pending) attrs.insert_new(views.view(a.name_begin, a.name_end), std::move(a.value));
        pending.clear();
    }
    return std::nullopt;
}

}  // namespace brindxml
