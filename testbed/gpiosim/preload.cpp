// LD_PRELOAD library: makes the device path of the chip in $GPIOSIM_STATE
// behave as a GPIO character device, for unmodified programs and for the real
// libgpiod inside them. Every other path and descriptor goes to libc. For
// the device path it answers the stat family (a character device with a
// major no driver here uses), realpath (also of the chip's sysfs subsystem
// link, which libgpiod checks), every open variant, and the chip's and line
// requests' ioctls of both uAPI versions; anything else on those
// descriptors gives EINVAL.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_chip.h"

namespace {

SimSession gSession;  // attached once, before main; read-only afterwards

enum HandleKind : uint8_t { kNone, kChip, kLinesV1, kLinesV2 };

// What this process knows about one of its descriptors.
struct Handle {
    HandleKind kind;
    uint8_t numLines;
    uint8_t offsets[kSimMaxLines];
};

constexpr int kMaxFds = 1024;
Handle gHandles[kMaxFds];
pthread_mutex_t gHandlesLock = PTHREAD_MUTEX_INITIALIZER;

void setHandle(int fd, const Handle& handle) {
    if (fd < 0 || fd >= kMaxFds) return;
    pthread_mutex_lock(&gHandlesLock);
    gHandles[fd] = handle;
    pthread_mutex_unlock(&gHandlesLock);
}

Handle getHandle(int fd) {
    Handle handle{};
    if (fd < 0 || fd >= kMaxFds) return handle;
    pthread_mutex_lock(&gHandlesLock);
    handle = gHandles[fd];
    pthread_mutex_unlock(&gHandlesLock);
    return handle;
}

// The next definition of a libc function after this library's own.
template <class Fn>
Fn real(std::atomic<void*>& cache, const char* name) {
    void* fn = cache.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = dlsym(RTLD_NEXT, name);
        cache.store(fn, std::memory_order_relaxed);
    }
    return reinterpret_cast<Fn>(fn);
}

#define REAL(name) real<decltype(&name)>(name##Cache, #name)
std::atomic<void*> openCache, openatCache, statCache, lstatCache, fstatatCache, realpathCache, ioctlCache, closeCache;

bool isChip(const char* path) {
    return gSession.chip != nullptr && path != nullptr && strcmp(path, gSession.chip->path) == 0;
}

bool isChipSubsystem(const char* path) {
    if (gSession.chip == nullptr || path == nullptr) return false;
    char subsystem[64];
    snprintf(subsystem, sizeof subsystem, "/sys/dev/char/%u:%u/subsystem", kSimMajor, kSimMinor);
    return strcmp(path, subsystem) == 0;
}

bool needsMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// The chip's descriptor is one of the FIFO, so poll waits as on a real chip.
int openChip(int flags) {
    int fd = REAL(open)(gSession.lockPath, O_RDWR | (flags & (O_CLOEXEC | O_NONBLOCK)));
    if (fd < 0) return -1;
    simNoteChipOpen(gSession);
    setHandle(fd, Handle{kChip, 0, {}});
    return fd;
}

int afterOpen(int fd) {
    setHandle(fd, Handle{});  // a descriptor closed behind our back may come back
    return fd;
}

int fakeStat(struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_nlink = 1;
    st->st_rdev = makedev(kSimMajor, kSimMinor);
    st->st_blksize = 4096;
    return 0;
}

char* answerPath(const char* text, char* resolved) {
    if (resolved == nullptr) return strdup(text);
    snprintf(resolved, PATH_MAX, "%s", text);
    return resolved;
}

int fail(int error) {
    errno = error;
    return -1;
}

// The lines are granted all or none, as the kernel does; the handle is recorded.
int grant(HandleKind kind, const SimLineRequest* lines, uint32_t count, const char* label, __s32& fdOut) {
    char consumer[GPIO_MAX_NAME_SIZE + 1] = {};
    memcpy(consumer, label, GPIO_MAX_NAME_SIZE);
    int fd = simRequest(gSession, lines, count, consumer);
    if (fd < 0) return -1;
    fdOut = fd;
    Handle handle{kind, static_cast<uint8_t>(count), {}};
    for (uint32_t i = 0; i < count; ++i) handle.offsets[i] = static_cast<uint8_t>(lines[i].offset);
    setHandle(fd, handle);
    return 0;
}

// Output wins only when asked for; neither flag keeps the line as it is.
// False for both, or for an offset not on the chip.
bool lineRequest(uint32_t offset, bool in, bool out, uint8_t value, SimLineRequest& line) {
    if (offset >= gSession.chip->numLines || (in && out)) return false;
    line = {offset, out ? kSimOutput : (in ? kSimInput : simDirection(gSession, offset)), value};
    return true;
}

int requestV1(gpiohandle_request& req) {
    if (req.lines == 0 || req.lines > kSimMaxLines) return fail(EINVAL);
    bool in = (req.flags & GPIOHANDLE_REQUEST_INPUT) != 0;
    bool out = (req.flags & GPIOHANDLE_REQUEST_OUTPUT) != 0;
    SimLineRequest lines[kSimMaxLines];
    for (uint32_t i = 0; i < req.lines; ++i)
        if (!lineRequest(req.lineoffsets[i], in, out, req.default_values[i], lines[i])) return fail(EINVAL);
    return grant(kLinesV1, lines, req.lines, req.consumer_label, req.fd);
}

// The last attribute of kind id that applies to line index, or null.
const gpio_v2_line_attribute* lineAttr(const gpio_v2_line_config& config, uint32_t index, uint32_t id) {
    const gpio_v2_line_attribute* found = nullptr;
    for (uint32_t a = 0; a < config.num_attrs && a < GPIO_V2_LINE_NUM_ATTRS_MAX; ++a)
        if (config.attrs[a].attr.id == id && (config.attrs[a].mask >> index & 1) != 0) found = &config.attrs[a].attr;
    return found;
}

int requestV2(gpio_v2_line_request& req) {
    if (req.num_lines == 0 || req.num_lines > kSimMaxLines || req.config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX)
        return fail(EINVAL);
    SimLineRequest lines[kSimMaxLines];
    for (uint32_t i = 0; i < req.num_lines; ++i) {
        const gpio_v2_line_attribute* flagsAttr = lineAttr(req.config, i, GPIO_V2_LINE_ATTR_ID_FLAGS);
        const gpio_v2_line_attribute* values = lineAttr(req.config, i, GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES);
        uint64_t flags = flagsAttr != nullptr ? flagsAttr->flags : req.config.flags;
        uint8_t value = values != nullptr ? static_cast<uint8_t>(values->values >> i & 1) : 0;
        if (!lineRequest(req.offsets[i], (flags & GPIO_V2_LINE_FLAG_INPUT) != 0,
                         (flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0, value, lines[i]))
            return fail(EINVAL);
    }
    return grant(kLinesV2, lines, req.num_lines, req.consumer, req.fd);
}

int chipInfo(gpiochip_info& info) {
    memset(&info, 0, sizeof info);
    const char* slash = strrchr(gSession.chip->path, '/');
    const char* name = slash != nullptr ? slash + 1 : gSession.chip->path;
    memcpy(info.name, name, strnlen(name, sizeof info.name - 1));  // cut like a kernel name
    memcpy(info.label, "gpiosim", 7);
    info.lines = gSession.chip->numLines;
    return 0;
}

int lineInfo(gpio_v2_line_info& info) {
    uint32_t offset = info.offset;
    if (offset >= gSession.chip->numLines) return fail(EINVAL);
    memset(&info, 0, sizeof info);
    info.offset = offset;
    char consumer[kSimNameSize] = {};
    if (simIsHeld(gSession, offset, &consumer)) {
        info.flags |= GPIO_V2_LINE_FLAG_USED;
        memcpy(info.consumer, consumer, sizeof info.consumer);
    }
    info.flags |= simDirection(gSession, offset) == kSimOutput ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
    return 0;
}

// Request numbers are compared as 32-bit values: libgpiod passes some sign-extended.
int chipIoctl(uint32_t request, void* arg) {
    switch (request) {
        case static_cast<uint32_t>(GPIO_GET_CHIPINFO_IOCTL): return chipInfo(*static_cast<gpiochip_info*>(arg));
        case static_cast<uint32_t>(GPIO_V2_GET_LINEINFO_IOCTL): return lineInfo(*static_cast<gpio_v2_line_info*>(arg));
        case static_cast<uint32_t>(GPIO_V2_GET_LINE_IOCTL): return requestV2(*static_cast<gpio_v2_line_request*>(arg));
        case static_cast<uint32_t>(GPIO_GET_LINEHANDLE_IOCTL): return requestV1(*static_cast<gpiohandle_request*>(arg));
        default: return fail(EINVAL);
    }
}

// A failed read leaves the caller's record untouched, as the kernel does.
int readLines(const Handle& handle, uint64_t mask, uint64_t& bits) {
    uint64_t read = 0;
    for (uint32_t i = 0; i < handle.numLines; ++i) {
        if ((mask >> i & 1) == 0) continue;
        int level = 0;
        if (simRead(gSession, handle.offsets[i], level) != 0) return -1;
        read |= static_cast<uint64_t>(level != 0) << i;
    }
    bits = read;
    return 0;
}

int driveLines(const Handle& handle, uint64_t mask, uint64_t bits) {
    for (uint32_t i = 0; i < handle.numLines; ++i)
        if ((mask >> i & 1) != 0 && simDrive(gSession, handle.offsets[i], static_cast<int>(bits >> i & 1)) != 0)
            return -1;
    return 0;
}

uint64_t allLines(const Handle& handle) { return handle.numLines >= 64 ? ~0ull : (1ull << handle.numLines) - 1; }

int linesV1Ioctl(const Handle& handle, uint32_t request, gpiohandle_data& data) {
    uint64_t bits = 0;
    if (request == static_cast<uint32_t>(GPIOHANDLE_GET_LINE_VALUES_IOCTL)) {
        if (readLines(handle, allLines(handle), bits) != 0) return -1;
        memset(&data, 0, sizeof data);
        for (uint32_t i = 0; i < handle.numLines; ++i) data.values[i] = static_cast<uint8_t>(bits >> i & 1);
        return 0;
    }
    if (request == static_cast<uint32_t>(GPIOHANDLE_SET_LINE_VALUES_IOCTL)) {
        for (uint32_t i = 0; i < handle.numLines; ++i) bits |= static_cast<uint64_t>(data.values[i] != 0) << i;
        return driveLines(handle, allLines(handle), bits);
    }
    return fail(EINVAL);
}

int linesV2Ioctl(const Handle& handle, uint32_t request, gpio_v2_line_values& values) {
    uint64_t mask = values.mask & allLines(handle);
    if (mask == 0) return fail(EINVAL);
    if (request == static_cast<uint32_t>(GPIO_V2_LINE_GET_VALUES_IOCTL)) {
        uint64_t bits = 0;
        if (readLines(handle, mask, bits) != 0) return -1;
        values.bits = bits;
        return 0;
    }
    if (request == static_cast<uint32_t>(GPIO_V2_LINE_SET_VALUES_IOCTL)) return driveLines(handle, mask, values.bits);
    return fail(EINVAL);
}

__attribute__((constructor)) void attachChip() {
    const char* state = getenv("GPIOSIM_STATE");
    if (state == nullptr || state[0] == '\0') return;
    if (!simAttach(state, gSession)) dprintf(2, "gpiosim: cannot use %s: %s\n", state, strerror(errno));
}

}  // namespace

// The mode argument, passed only when flags may create a file.
#define TAKE_MODE(flags, mode)          \
    mode_t mode = 0;                    \
    if (needsMode(flags)) {             \
        va_list modeArg;                \
        va_start(modeArg, flags);       \
        mode = va_arg(modeArg, mode_t); \
        va_end(modeArg);                \
    }

extern "C" {

int open(const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    if (isChip(path)) return openChip(flags);
    return afterOpen(REAL(open)(path, flags, mode));
}

int openat(int dirfd, const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    if (isChip(path)) return openChip(flags);
    return afterOpen(REAL(openat)(dirfd, path, flags, mode));
}

// 64-bit and fortified variants all end in the two above; libc's own copies
// call internal symbols that a preload cannot reach.
int open64(const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    return open(path, flags | O_LARGEFILE, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    TAKE_MODE(flags, mode);
    return openat(dirfd, path, flags | O_LARGEFILE, mode);
}

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open(path, flags | O_LARGEFILE); }
int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags | O_LARGEFILE); }

int stat(const char* path, struct stat* st) noexcept {
    if (isChip(path)) return fakeStat(st);
    return REAL(stat)(path, st);
}

int lstat(const char* path, struct stat* st) noexcept {
    if (isChip(path)) return fakeStat(st);
    return REAL(lstat)(path, st);
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) noexcept {
    if (isChip(path)) return fakeStat(st);
    return REAL(fstatat)(dirfd, path, st, flags);
}

// On the 64-bit targets struct stat64 has the layout of struct stat.
int stat64(const char* path, struct stat64* st) noexcept { return stat(path, reinterpret_cast<struct stat*>(st)); }
int lstat64(const char* path, struct stat64* st) noexcept { return lstat(path, reinterpret_cast<struct stat*>(st)); }
int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) noexcept {
    return fstatat(dirfd, path, reinterpret_cast<struct stat*>(st), flags);
}

// Replaced whole: glibc's realpath resolves through internal calls.
char* realpath(const char* path, char* resolved) noexcept {
    if (isChip(path)) return answerPath(path, resolved);
    if (isChipSubsystem(path)) return answerPath("/sys/bus/gpio", resolved);
    return REAL(realpath)(path, resolved);
}

char* __realpath_chk(const char* path, char* resolved, size_t) { return realpath(path, resolved); }

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    Handle handle = getHandle(fd);
    uint32_t number = static_cast<uint32_t>(request);
    if (handle.kind == kNone || gSession.chip == nullptr) return REAL(ioctl)(fd, request, arg);
    if (arg == nullptr) return fail(EFAULT);
    if (handle.kind == kChip) return chipIoctl(number, arg);
    if (handle.kind == kLinesV1) return linesV1Ioctl(handle, number, *static_cast<gpiohandle_data*>(arg));
    return linesV2Ioctl(handle, number, *static_cast<gpio_v2_line_values*>(arg));
}

int close(int fd) {
    setHandle(fd, Handle{});
    return REAL(close)(fd);
}

}  // extern "C"
