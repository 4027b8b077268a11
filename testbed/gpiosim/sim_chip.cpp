#include "sim_chip.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kMagic = 0x67706d31;  // "gpm1"

template <class T>
T load(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <class T>
void store(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

void storeText(char (&field)[kSimNameSize], const char* text) {
    size_t n = strnlen(text, kSimNameSize - 1);
    for (size_t i = 0; i < kSimNameSize; ++i) store(field[i], i < n ? text[i] : '\0');
}

bool validOffset(const SimSession& session, uint32_t offset) {
    if (session.chip != nullptr && offset < session.chip->numLines) return true;
    errno = EINVAL;
    return false;
}

SimLine& line(const SimSession& session, uint32_t offset) { return session.chip->lines[offset]; }

bool lockPathFor(const char* statePath, char (&out)[kSimPathSize + 200]) {
    int n = snprintf(out, sizeof out, "%s.lines", statePath);
    if (n >= 0 && static_cast<size_t>(n) < sizeof out) return true;
    errno = ENAMETOOLONG;
    return false;
}

flock lineLock(uint32_t offset, short type) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    return lock;
}

}  // namespace

bool simCreate(const char* statePath, const char* chipPath, uint32_t numLines) {
    char lockPath[kSimPathSize + 200];
    if (!lockPathFor(statePath, lockPath)) return false;
    if (numLines == 0 || numLines > kSimMaxLines || strlen(chipPath) >= kSimPathSize) {
        errno = EINVAL;
        return false;
    }
    unlink(lockPath);
    if (mkfifo(lockPath, 0666) != 0) return false;

    SimChip chip{};
    chip.magic = kMagic;
    chip.numLines = numLines;
    snprintf(chip.path, sizeof chip.path, "%s", chipPath);
    for (SimLine& l : chip.lines) l.wiredFrom = -1;

    // Written to a new file and renamed, so an attached reader never sees half a state.
    char tmpPath[sizeof lockPath + 8];
    snprintf(tmpPath, sizeof tmpPath, "%s.new", lockPath);
    int fd = open(tmpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = write(fd, &chip, sizeof chip) == static_cast<ssize_t>(sizeof chip);
    int saved = errno;
    close(fd);
    if (ok && rename(tmpPath, statePath) == 0) return true;
    if (!ok) errno = saved != 0 ? saved : EIO;
    unlink(tmpPath);
    return false;
}

bool simAttach(const char* statePath, SimSession& session) {
    if (!lockPathFor(statePath, session.lockPath)) return false;
    int fd = open(statePath, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(SimChip))) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    void* map = mmap(nullptr, sizeof(SimChip), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return false;
    auto* chip = static_cast<SimChip*>(map);
    if (chip->magic != kMagic || chip->numLines == 0 || chip->numLines > kSimMaxLines ||
        memchr(chip->path, '\0', sizeof chip->path) == nullptr) {
        munmap(map, sizeof(SimChip));
        errno = EINVAL;
        return false;
    }
    session.chip = chip;
    return true;
}

void simDetach(SimSession& session) {
    if (session.chip != nullptr) munmap(session.chip, sizeof(SimChip));
    session.chip = nullptr;
}

bool simWire(SimSession& session, uint32_t output, uint32_t input) {
    if (!validOffset(session, output) || !validOffset(session, input)) return false;
    store(line(session, input).wiredFrom, static_cast<int16_t>(output));
    return true;
}

bool simUnwire(SimSession& session, uint32_t input) {
    if (!validOffset(session, input)) return false;
    store(line(session, input).wiredFrom, static_cast<int16_t>(-1));
    return true;
}

bool simSetExternal(SimSession& session, uint32_t input, int level) {
    if (!validOffset(session, input)) return false;
    store(line(session, input).external, static_cast<uint8_t>(level != 0));
    return true;
}

bool simSetFailReads(SimSession& session, uint32_t input, bool fail) {
    if (!validOffset(session, input)) return false;
    store(line(session, input).failReads, static_cast<uint8_t>(fail));
    return true;
}

int simDriven(const SimSession& session, uint32_t offset) {
    if (!validOffset(session, offset)) return -1;
    return load(line(session, offset).driven);
}

SimDirection simDirection(const SimSession& session, uint32_t offset) {
    if (!validOffset(session, offset)) return kSimInput;
    return static_cast<SimDirection>(load(line(session, offset).direction));
}

int simWiredFrom(const SimSession& session, uint32_t input) {
    if (!validOffset(session, input)) return -1;
    return load(line(session, input).wiredFrom);
}

bool simFailsReads(const SimSession& session, uint32_t input) {
    return validOffset(session, input) && load(line(session, input).failReads) != 0;
}

int simLevel(const SimSession& session, uint32_t offset) {
    if (!validOffset(session, offset)) return -1;
    const SimLine& l = line(session, offset);
    if (load(l.direction) == kSimOutput) return load(l.driven);
    int16_t from = load(l.wiredFrom);
    if (from >= 0 && static_cast<uint32_t>(from) < session.chip->numLines &&
        load(line(session, static_cast<uint32_t>(from)).direction) == kSimOutput)
        return load(line(session, static_cast<uint32_t>(from)).driven);
    return load(l.external);
}

bool simIsHeld(const SimSession& session, uint32_t offset, char (*consumer)[kSimNameSize]) {
    if (!validOffset(session, offset)) return false;
    int fd = open(session.lockPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    flock probe = lineLock(offset, F_WRLCK);
    bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    if (held && consumer != nullptr) {
        const char(&text)[kSimNameSize] = line(session, offset).consumer;
        for (size_t i = 0; i < kSimNameSize; ++i) (*consumer)[i] = load(text[i]);
        (*consumer)[kSimNameSize - 1] = '\0';
    }
    return held;
}

int simRequest(SimSession& session, const SimLineRequest* lines, uint32_t count, const char* consumer) {
    if (session.chip == nullptr || count == 0 || count > kSimMaxLines) {
        errno = EINVAL;
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i)
        if (!validOffset(session, lines[i].offset)) return -1;

    int fd = open(session.lockPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        // Locks of one descriptor never conflict with each other, so a line
        // named twice in one request has to be caught by hand.
        for (uint32_t j = 0; j < i; ++j) {
            if (lines[j].offset == lines[i].offset) {
                close(fd);
                errno = EBUSY;
                return -1;
            }
        }
        flock lock = lineLock(lines[i].offset, F_WRLCK);
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            close(fd);  // gives back the lines locked so far
            errno = EBUSY;
            return -1;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        SimLine& l = line(session, lines[i].offset);
        if (lines[i].direction == kSimOutput) store(l.driven, static_cast<uint8_t>(lines[i].value != 0));
        store(l.direction, static_cast<uint8_t>(lines[i].direction));
        storeText(l.consumer, consumer);
    }
    std::atomic_ref<uint32_t>(session.chip->lineRequests).fetch_add(1, std::memory_order_acq_rel);
    return fd;
}

int simRead(SimSession& session, uint32_t offset, int& level) {
    if (!validOffset(session, offset)) return -1;
    if (load(line(session, offset).failReads) != 0) {
        errno = EIO;
        return -1;
    }
    level = simLevel(session, offset);
    return 0;
}

int simDrive(SimSession& session, uint32_t offset, int level) {
    if (!validOffset(session, offset)) return -1;
    SimLine& l = line(session, offset);
    if (load(l.direction) != kSimOutput) {
        errno = EPERM;
        return -1;
    }
    store(l.driven, static_cast<uint8_t>(level != 0));
    return 0;
}

void simNoteChipOpen(SimSession& session) {
    if (session.chip != nullptr)
        std::atomic_ref<uint32_t>(session.chip->chipOpens).fetch_add(1, std::memory_order_acq_rel);
}

uint32_t simChipOpens(const SimSession& session) { return session.chip == nullptr ? 0 : load(session.chip->chipOpens); }

uint32_t simLineRequests(const SimSession& session) {
    return session.chip == nullptr ? 0 : load(session.chip->lineRequests);
}
