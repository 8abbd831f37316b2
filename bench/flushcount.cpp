// Counts the frames a Qt program puts on the screen: every QBackingStore::flush, added up in the
// 8-byte file that FLUSHCOUNT_FILE names, which the bench reads while the program runs; and
// the wall-clock time of the first frame (seconds since the epoch), written once to the file
// FLUSHCOUNT_FIRST names, from which the bench takes the start-up time.
//   usage: LD_PRELOAD=build/bench/libflushcount.so FLUSHCOUNT_FILE=FILE [FLUSHCOUNT_FIRST=FILE] PROGRAM
#include <QBackingStore>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::atomic<std::uint64_t> *counter()
{
    static std::atomic<std::uint64_t> *shared = [] {
        static std::atomic<std::uint64_t> local{0};
        const char *path = std::getenv("FLUSHCOUNT_FILE");
        const int fd = path ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644) : -1;
        if (fd < 0 || ftruncate(fd, sizeof(std::uint64_t)) != 0)
            return &local;
        void *mapped = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED,
                            fd, 0);
        close(fd);
        return mapped == MAP_FAILED ? &local : static_cast<std::atomic<std::uint64_t> *>(mapped);
    }();
    return shared;
}

void noteFirstFrame()
{
    const char *path = std::getenv("FLUSHCOUNT_FIRST");
    if (!path)
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (FILE *f = std::fopen(path, "w")) {
        std::fprintf(f, "%lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
        std::fclose(f);
    }
}

} // namespace

void QBackingStore::flush(const QRegion &region, QWindow *window, const QPoint &offset)
{
    using Flush = void (*)(QBackingStore *, const QRegion &, QWindow *, const QPoint &);
    static const auto real = reinterpret_cast<Flush>(
        dlsym(RTLD_NEXT, "_ZN13QBackingStore5flushERK7QRegionP7QWindowRK6QPoint"));
    const bool first = counter()->fetch_add(1, std::memory_order_relaxed) == 0;
    real(this, region, window, offset);
    if (first)
        noteFirstFrame();
}
