// Byte-level building blocks, eight bytes at a time: a 64-bit word holds
// eight lanes, one per byte, and the lane tests below set bit 7 of every lane
// they flag (exactly: no carry crosses from one lane into the next). Then the
// byte searches over document text built on them: memchr for one byte,
// word-at-a-time for small sets of bytes. Every search returns the first
// matching position at or after `from`, or `end` when there is none; `from`
// may lie past `end`.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindxml::bytes {

inline constexpr uint64_t kLaneOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kLaneHigh = 0x8080808080808080ULL;
inline constexpr uint64_t kLaneLow7 = 0x7F7F7F7F7F7F7F7FULL;
inline constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// The eight bytes at `p`, in the machine's byte order; `p` need not be aligned.
inline uint64_t load_word(const void* p) noexcept {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// `c` as an index into a 256-entry table (char may be signed).
inline constexpr unsigned char byte_of(char c) noexcept { return static_cast<unsigned char>(c); }

inline constexpr uint64_t repeated(unsigned char c) noexcept { return kLaneOnes * c; }

// 0x80 in every lane of `word` that is not zero, bit 7 of the lane kept.
// Exact per lane: the addition cannot carry into the next lane.
inline constexpr uint64_t nonzero_lanes(uint64_t word) noexcept { return ((word & kLaneLow7) + kLaneLow7) | word; }

// 0x80 in every lane of `word` equal to the lane of `pattern`, 0 elsewhere.
// Exact: unlike the borrow-based zero test, no lane above a match is flagged.
inline constexpr uint64_t equal_lanes(uint64_t word, uint64_t pattern) noexcept {
    return ~nonzero_lanes(word ^ pattern) & kLaneHigh;
}

// 0x80 in every lane of `word` holding a byte below `limit` (at most 0x80).
// Exact per lane, like equal_lanes.
inline constexpr uint64_t below_lanes(uint64_t word, unsigned char limit) noexcept {
    return ~(((word & kLaneLow7) + repeated(static_cast<unsigned char>(0x80 - limit))) | word) & kLaneHigh;
}

// 0x80 in every lane of `word` holding a byte >= 0x80 (not ASCII).
inline constexpr uint64_t high_lanes(uint64_t word) noexcept { return word & kLaneHigh; }

// Packs the flag bits of equal_lanes (bit 7 of each lane) into bits 0..7,
// lane i (the byte at address +i on little-endian machines) into bit i.
inline constexpr uint64_t lane_bits(uint64_t lanes) noexcept { return ((lanes >> 7) * 0x0102040810204080ULL) >> 56; }

// Offset from the word's address of the first flagged lane of a non-zero
// lane test result, on either byte order.
inline constexpr unsigned first_lane(uint64_t lanes) noexcept {
    if constexpr (kLittleEndian) return static_cast<unsigned>(std::countr_zero(lanes)) / 8;
    else return static_cast<unsigned>(std::countl_zero(lanes)) / 8;
}

// Whether every byte of `text` is ASCII (below 0x80).
inline bool is_ascii(std::string_view text) noexcept {
    const char* data = text.data();
    const size_t size = text.size();
    size_t i = 0;
    uint64_t bits = 0;
    for (; i + 8 <= size; i += 8) bits |= load_word(data + i);
    for (; i < size; ++i) bits |= static_cast<unsigned char>(data[i]);
    return high_lanes(bits) == 0;
}

inline uint64_t find_byte(const char* data, uint64_t from, uint64_t end, char c) noexcept {
    if (from >= end) return end;
    const void* hit = std::memchr(data + from, c, static_cast<size_t>(end - from));
    return hit ? static_cast<uint64_t>(static_cast<const char*>(hit) - data) : end;
}

// Like find_byte, for targets that are usually near: the first sixteen bytes
// are tested inline, word by word, before handing over to memchr.
inline uint64_t find_byte_near(const char* data, uint64_t from, uint64_t end, char c) noexcept {
    if constexpr (kLittleEndian) {
        const uint64_t pattern = repeated(static_cast<unsigned char>(c));
        for (int step = 0; step < 2 && from + 8 <= end; ++step, from += 8) {
            const uint64_t lanes = equal_lanes(load_word(data + from), pattern);
            if (lanes) return from + first_lane(lanes);
        }
    }
    return find_byte(data, from, end, c);
}

// First byte equal to any of the bytes in `Set` (two to five of them).
template <char... Set>
inline uint64_t find_any(const char* data, uint64_t from, uint64_t end) noexcept {
    static_assert(sizeof...(Set) >= 2 && sizeof...(Set) <= 5);
    if constexpr (kLittleEndian) {
        while (from + 8 <= end) {
            const uint64_t word = load_word(data + from);
            const uint64_t lanes = (equal_lanes(word, repeated(static_cast<unsigned char>(Set))) | ...);
            if (lanes) return from + first_lane(lanes);
            from += 8;
        }
    }
    for (; from < end; ++from) {
        const char c = data[from];
        if (((c == Set) || ...)) return from;
    }
    return end;
}

}  // namespace brindxml::bytes
