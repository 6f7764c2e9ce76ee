// What the core asks of the operating system besides files: random bytes for
// hash keys, the size of physical memory, whole pages of memory (large pages
// where asked), and the room a file may take.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindxml::platform {

// Fills `buffer` from the system's random source. False when there is none
// (the caller then seeds otherwise).
bool random_bytes(void* buffer, size_t size) noexcept;

// Bytes of physical memory, or 0 when unknown.
uint64_t physical_memory() noexcept;

// Memory mapped straight from the system, zero-filled, read-write; null when
// none is left. Unmapping returns it at once: the C library's allocator never
// sees these blocks (nor changes its own thresholds because of them).
void* map_pages(size_t bytes) noexcept;
void unmap_pages(void* pages, size_t bytes) noexcept;
// Grows or shrinks a mapping, keeping its first min(old, new) bytes; may move
// it. Null on failure, the old mapping then unchanged.
void* remap_pages(void* pages, size_t old_bytes, size_t new_bytes) noexcept;

// Asks the system to back the large pages (2 MiB) that lie wholly within
// [memory, memory + bytes) with large pages where it can (transparent huge
// pages on Linux): a first touch then maps 2 MiB in one fault instead of
// 512. A hint for arrays that are filled at once: failure changes nothing,
// and bytes outside those pages keep their setting. No effect elsewhere.
void prefer_large_pages(void* memory, size_t bytes) noexcept;
// Below this size prefer_large_pages is not worth a call.
inline constexpr size_t kLargePagesWorthFrom = size_t{4} << 20;

// Whether `path` names something other than a regular file (a device, a
// pipe, a directory): writing there fills no file system and meets no
// file-size limit.
bool is_special_file(const char* path) noexcept;

// The most bytes the process may write to one file (the soft RLIMIT_FSIZE),
// or UINT64_MAX when there is no limit.
uint64_t file_size_limit() noexcept;

// The bytes a file written at `path` (NUL-terminated) could take: the free
// space of the file system it would be on, plus what truncating the file
// there now would free. False when unknown (no such directory, a path that
// is a device or a pipe, a file system that reports no sizes, or a platform
// without the call): the caller then just writes.
bool room_for_file(const char* path, uint64_t& bytes) noexcept;

}  // namespace brindxml::platform
