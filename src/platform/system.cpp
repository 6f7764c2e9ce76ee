#include "platform/system.hpp"

#include <algorithm>
#include <cerrno>

#if defined(_WIN32)
#include <windows.h>  // before bcrypt.h, which uses its types

#include <bcrypt.h>
#else
#include <fcntl.h>
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

}  // namespace brindxml::platform
