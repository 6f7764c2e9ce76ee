#include "platform/system.hpp"

#include "platform/compiler.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>  // before bcrypt.h, which uses its types

#include <bcrypt.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#include <sys/sysctl.h>
#endif
#endif

// getentropy: glibc 2.25 and later, musl, macOS, the BSDs. Older glibc (as in
// manylinux2014) has neither it nor getrandom: read /dev/urandom there.
#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
#define BRINDXML_URANDOM 1
#endif

namespace brindxml::platform {

bool random_bytes(void* buffer, size_t size) noexcept {
    auto* out = static_cast<unsigned char*>(buffer);
#if defined(_WIN32)
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#elif defined(BRINDXML_URANDOM)
    int fd;
    do { fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC); } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, out + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got == size;
#else
    while (size != 0) {
        const size_t chunk = std::min<size_t>(size, 256);  // getentropy's limit per call
        if (::getentropy(out, chunk) != 0) return false;
        out += chunk;
        size -= chunk;
    }
    return true;
#endif
}

uint64_t physical_memory() noexcept {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? static_cast<uint64_t>(status.ullTotalPhys) : 0;
#elif defined(__APPLE__)
    uint64_t bytes = 0;
    size_t length = sizeof bytes;
    return sysctlbyname("hw.memsize", &bytes, &length, nullptr, 0) == 0 ? bytes : 0;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
#endif
}

void* map_pages(size_t bytes) noexcept {
#if defined(_WIN32)
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
#endif
}

void unmap_pages(void* pages, size_t bytes) noexcept {
    if (!pages) return;
#if defined(_WIN32)
    (void)bytes;
    VirtualFree(pages, 0, MEM_RELEASE);
#else
    ::munmap(pages, bytes);
#endif
}

void* remap_pages(void* pages, size_t old_bytes, size_t new_bytes) noexcept {
#if defined(__linux__)
    void* moved = ::mremap(pages, old_bytes, new_bytes, MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : moved;
#else
    void* fresh = map_pages(new_bytes);
    if (!fresh) return nullptr;
    std::memcpy(fresh, pages, old_bytes < new_bytes ? old_bytes : new_bytes);
    unmap_pages(pages, old_bytes);
    return fresh;
#endif
}

void prefer_large_pages(void* memory, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
    const auto start = reinterpret_cast<uintptr_t>(memory);
    if (bytes > UINTPTR_MAX - start) return;
    const uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t last = (start + bytes) & ~(kLargePage - 1);
    if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)bytes;
#endif
}

bool is_special_file(const char* path) noexcept {
#if defined(_WIN32)
    (void)path;
    return false;
#else
    struct stat info;
    return ::stat(path, &info) == 0 && !S_ISREG(info.st_mode);
#endif
}

uint64_t file_size_limit() noexcept {
#if defined(_WIN32)
    return UINT64_MAX;
#else
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return static_cast<uint64_t>(limit.rlim_cur);
#endif
}

bool room_for_file(const char* path, uint64_t& bytes) noexcept {
#if defined(_WIN32)
    (void)path;
    (void)bytes;
    return false;
#else
    if (*path == '\0') return false;  // no such file: refused when opened
    try {
        uint64_t freed = 0;
        std::string where = path;
        struct stat info;
        if (::stat(path, &info) == 0) {
            // An existing file: a regular one is truncated (its blocks come
            // free); anything else (a device, a pipe) is not filled up.
            if (!S_ISREG(info.st_mode)) return false;
            if (info.st_blocks > 0 && !checked_multiply(static_cast<uint64_t>(info.st_blocks), 512, freed))
                return false;
        } else {
            if (errno != ENOENT) return false;
            // A new file: the file system of its directory.
            const char* slash = std::strrchr(path, '/');
            where.assign(slash ? path : ".", slash ? (slash == path ? 1 : static_cast<size_t>(slash - path)) : 1);
        }
        struct statvfs fs;
        int result;
        do { result = ::statvfs(where.c_str(), &fs); } while (result != 0 && errno == EINTR);
        if (result != 0 || fs.f_blocks == 0) return false;
        // The blocks a process of this user may take (the superuser also
        // those kept in reserve).
        const uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
        const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
        uint64_t free_bytes = 0;
        if (!checked_multiply(blocks, unit, free_bytes) || !checked_add(free_bytes, freed, bytes)) bytes = UINT64_MAX;
        return true;
    } catch (...) { return false; }
#endif
}

}  // namespace brindxml::platform
