#include "read/attribute_parser.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "base/join.hpp"
#include "platform/compiler.hpp"
#include "read/decode_references.hpp"

namespace brindxml {

namespace {

// Up to this many attributes, duplicates are found by comparing names (no
// hashing); beyond it the map itself finds them.
constexpr size_t kLinearDuplicateCheck = 16;

inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
inline bool ends_attribute_name(char c) noexcept { return is_space(c) || c == '=' || c == '"' || c == '\''; }
inline bool is_value_special(char c) noexcept { return c == '<' || c == '&' || c == '\t' || c == '\n' || c == '\r'; }

// The first byte at or after `from` for which `exact` holds, or `end`. Eight
// bytes at a time, `lanes` flags a superset of them (each flagged byte is
// checked with `exact`); the last few bytes one by one.
template <class Lanes, class Exact>
inline uint64_t find_first(const char* doc, uint64_t from, uint64_t end, Lanes lanes, Exact exact) noexcept {
    if constexpr (bytes::kLittleEndian) {
        while (from + 8 <= end) {
            uint64_t flagged = lanes(bytes::load_word(doc + from));
            while (flagged) {
                const uint64_t at = from + bytes::first_lane(flagged);
                if (exact(doc[at])) return at;
                flagged &= flagged - 1;  // lowest lane's flag off: the next one
            }
            from += 8;
        }
    }
    for (; from < end; ++from)
        if (exact(doc[from])) return from;
    return end;
}

// Where an attribute name that starts at `from` ends: white space, '=' or a quote.
inline uint64_t find_name_end(const char* doc, uint64_t from, uint64_t end) noexcept {
    using namespace bytes;
    return find_first(doc, from, end, [](uint64_t w) {
        return below_lanes(w, 0x21) | equal_lanes(w, repeated('=')) | equal_lanes(w, repeated('"')) |
               equal_lanes(w, repeated('\''));
    }, ends_attribute_name);
}

// The closing `quote` of a value, or the first byte before it that the value
// cannot take as it is ('<', a reference, or white space to normalise).
inline uint64_t find_value_stop(const char* doc, uint64_t from, uint64_t end, char quote) noexcept {
    using namespace bytes;
    const uint64_t quotes = repeated(byte_of(quote));
    return find_first(doc, from, end, [quotes](uint64_t w) {
        return below_lanes(w, 0x0E) | equal_lanes(w, quotes) | equal_lanes(w, repeated('<')) |
               equal_lanes(w, repeated('&'));
    }, [quote](char c) { return c == quote || is_value_special(c); });
}

// The value [begin, end) that holds a byte to refuse or decode at `special`
// or later. Out of line: most values take the plain path.
BRINDXML_NOINLINE Result<NodeString, ReadError> decoded_value(ViewMaker& views, uint64_t begin, uint64_t end,
                                                              uint64_t special, StringBlocks* blocks) {
    const char* doc = views.document();
    const uint64_t lt = bytes::find_byte(doc, special, end, '<');
    if (lt < end) return ReadError::malformed(lt, "'<' is not allowed in attribute values");
    auto decoded = decode_references(std::string_view(doc + begin, static_cast<size_t>(end - begin)), begin,
                                     ReferenceMode::Attribute, blocks);
    if (!decoded) return std::move(decoded).error();
    if (decoded.value().changed) return std::move(decoded.value().decoded);
    return views.view(begin, end);
}

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
        i = find_name_end(doc, i, end);
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
        // One pass answers the common case: the closing quote, with nothing
        // before it to reject or decode.
        const uint64_t stop = find_value_stop(doc, value_begin, end, doc[i]);
        const bool plain = stop < end && doc[stop] == doc[i];
        const uint64_t value_end = plain ? stop : bytes::find_byte(doc, stop, end, doc[i]);
        if (value_end >= end) return ReadError::malformed(value_begin, "unterminated attribute value");

        NodeString value;
        if (plain) {
            value = views.view(value_begin, value_end);
        } else {
            auto decoded = decoded_value(views, value_begin, value_end, stop, scratch.decoded);
            if (!decoded) return std::move(decoded).error();
            value = std::move(decoded.value());
        }

        if (!in_map) {
            // Names of up to 8 bytes compare as words; only longer ones byte by byte.
            const uint64_t word = short_name_word(name, doc + end);
            for (const auto& earlier : pending) {
                if (earlier.name_word == word && earlier.name_end - earlier.name_begin == name.size() &&
                    (word != 0 || std::memcmp(doc + earlier.name_begin, name.data(), name.size()) == 0))
                    return ReadError::malformed(name_begin, joined({"duplicate attribute '", name, "'"}));
            }
            pending.push_back({name_begin, name_end, word, std::move(value)});
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
        attrs.reserve_in(pending.size(), scratch.tables);
        for (auto& a : pending) {
            const std::string_view name(doc + a.name_begin, static_cast<size_t>(a.name_end - a.name_begin));
            const uint64_t h = scratch.name_hashes.hash(attrs.keys(), name, a.name_word);
            attrs.insert_reserved(views.view(a.name_begin, a.name_end), std::move(a.value), h);
        }
        pending.clear();
    }
    return std::nullopt;
}

}  // namespace brindxml
