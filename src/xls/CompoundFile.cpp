#include "CompoundFile.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>

#ifdef _WIN32
#include "platform/Utf.h"

#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <string>

namespace cfb {

namespace {

// ---- the file under construction: a descriptor, positioned writes, a durable end ----
#ifdef _WIN32

int OpenNewFile(const std::string& path) {
    return ::_wopen(platform::WideCStr(platform::Utf8ToUtf16(path)), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
int ProcessId() { return static_cast<int>(::GetCurrentProcessId()); }
// The file a save replaces: anything but a folder is replaced as it stands.
int CheckTarget(std::string&, int) { return 0; }
// Written with the system's own call: the C runtime's _write takes a short write (what a disk
// that fills up gives) for a failure and reports whatever error was last set, under Wine EINVAL.
// A short count goes back to the caller, which writes the rest; the system's reason is mapped
// to the errno the operator's message names.
long long WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (::WriteFile(file, data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &written, &at)) return written;
    const DWORD error = ::GetLastError();
    errno = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL                                  ? ENOSPC
            : error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION ? EACCES
            : error == ERROR_WRITE_PROTECT                                                                  ? EROFS
                                                                                                            : EIO;
    return -1;
}
bool TruncateAndSync(int fd, std::uint64_t size) {
    return ::_chsize_s(fd, static_cast<long long>(size)) == 0 && ::_commit(fd) == 0;
}
int CloseFile(int fd) { return ::_close(fd); }
bool MoveIntoPlace(const std::string& from, const std::string& to) {
    if (::MoveFileExW(platform::WideCStr(platform::Utf8ToUtf16(from)), platform::WideCStr(platform::Utf8ToUtf16(to)), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = ::GetLastError();
    errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES
            : error == ERROR_DISK_FULL                                       ? ENOSPC
                                                                             : EIO;
    return false;
}
void RemoveFile(const std::string& path) { ::_wremove(platform::WideCStr(platform::Utf8ToUtf16(path))); }
#else
// Never through a link, never a file somebody else has made: a name of its own.
int OpenNewFile(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); }
int ProcessId() { return static_cast<int>(::getpid()); }
// The file a save replaces: a link is followed (the link stays, its file gets the workbook); a
// device, a pipe or a folder is refused (errno). A file keeps its permissions (copied to `fd`).
int CheckTarget(std::string& target, int fd) {
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) return 0;  // a new file
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (char* real = ::realpath(target.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    if (fd >= 0) ::fchmod(fd, st.st_mode & 07777);
    return 0;
}
long long WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    return ::pwrite(fd, data, size, static_cast<off_t>(offset));
}
bool TruncateAndSync(int fd, std::uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fsync(fd) == 0; }
int CloseFile(int fd) { return ::close(fd); }
bool MoveIntoPlace(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) return false;
    // The new name is on the disk too, not only the file's bytes.
    const std::size_t slash = to.find_last_of('/');
    const int dir = ::open(slash == std::string::npos ? "." : to.substr(0, slash + 1).c_str(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}
void RemoveFile(const std::string& path) { std::remove(path.c_str()); }
#endif

#ifdef _WIN32
constexpr const char* kSeparators = "\\/";
#else
constexpr const char* kSeparators = "/";
#endif
constexpr std::uint32_t kSector = 512, kMiniSector = 64, kMiniCutoff = 4096, kPerSector = kSector / 4;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE, kFree = 0xFFFFFFFF, kFatSect = 0xFFFFFFFD,
                        kDifSect = 0xFFFFFFFC, kNoStream = 0xFFFFFFFF;
constexpr std::uint32_t kHeaderDifat = 109;

std::uint32_t Ceil(std::uint64_t n, std::uint32_t unit) { return static_cast<std::uint32_t>((n + unit - 1) / unit); }

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One 128-byte directory entry.
void PutEntry(std::uint8_t* e, const std::u16string& name, std::uint8_t type, std::uint32_t child,
              std::uint32_t start, std::uint32_t size) {
    for (std::size_t i = 0; i < name.size() && i < 31; ++i) Put16(e + 2 * i, name[i]);
    Put16(e + 64, static_cast<std::uint16_t>(2 * (std::min<std::size_t>(name.size(), 31) + 1)));
    e[66] = type;
    e[67] = 1;  // black: a one-node tree is a valid red-black tree
    Put32(e + 68, kNoStream);
    Put32(e + 72, kNoStream);
    Put32(e + 76, child);
    Put32(e + 116, start);
    Put32(e + 120, size);
}

}  // namespace

namespace {

// The container's bytes. With `withData` false and a stream of sectors of its own, the stream's
// sectors are left out (the header is followed directly by the sectors after them), so that a
// large stream is written to disk straight from its buffer instead of being copied.
std::vector<std::uint8_t> BuildContainer(const std::u16string& streamName, std::uint32_t size,
                                         const std::uint8_t* stream, bool withData) {
    const bool mini = size < kMiniCutoff;
    const std::uint32_t miniSectors = mini ? Ceil(size, kMiniSector) : 0;
    const std::uint32_t dataSectors = mini ? Ceil(std::uint64_t(miniSectors) * kMiniSector, kSector) : Ceil(size, kSector);
    const std::uint32_t miniFatSectors = Ceil(miniSectors, kPerSector);
    const std::uint32_t dirSectors = 1;
    std::uint32_t fatSectors = 1, difatSectors = 0;
    for (;;) {
        const std::uint32_t total = dataSectors + miniFatSectors + dirSectors + fatSectors + difatSectors;
        const std::uint32_t needFat = Ceil(total, kPerSector);
        const std::uint32_t needDifat = needFat > kHeaderDifat ? Ceil(needFat - kHeaderDifat, kPerSector - 1) : 0;
        if (needFat == fatSectors && needDifat == difatSectors) break;
        fatSectors = needFat;
        difatSectors = needDifat;
    }
    const std::uint32_t miniFatStart = dataSectors, dirStart = miniFatStart + miniFatSectors,
                        fatStart = dirStart + dirSectors, difatStart = fatStart + fatSectors,
                        totalSectors = difatStart + difatSectors;

    const std::uint32_t skipped = withData || mini ? 0 : dataSectors;
    std::vector<std::uint8_t> file(std::size_t(kSector) * (1 + totalSectors - skipped), 0);
    auto sector = [&](std::uint32_t s) { return file.data() + std::size_t(kSector) * (1 + s - skipped); };

    // Header.
    std::uint8_t* h = file.data();
    const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(signature), std::end(signature), h);
    Put16(h + 24, 0x003E);
    Put16(h + 26, 0x0003);
    Put16(h + 28, 0xFFFE);
    Put16(h + 30, 9);
    Put16(h + 32, 6);
    Put32(h + 44, fatSectors);
    Put32(h + 48, dirStart);
    Put32(h + 56, kMiniCutoff);
    Put32(h + 60, miniFatSectors ? miniFatStart : kEndOfChain);
    Put32(h + 64, miniFatSectors);
    Put32(h + 68, difatSectors ? difatStart : kEndOfChain);
    Put32(h + 72, difatSectors);
    for (std::uint32_t i = 0; i < kHeaderDifat; ++i) Put32(h + 76 + 4 * i, i < fatSectors ? fatStart + i : kFree);

    // DIFAT sectors: the FAT sector numbers beyond the header's 109, then the next DIFAT sector.
    for (std::uint32_t d = 0; d < difatSectors; ++d) {
        std::uint8_t* p = sector(difatStart + d);
        for (std::uint32_t i = 0; i < kPerSector - 1; ++i) {
            const std::uint32_t fat = kHeaderDifat + d * (kPerSector - 1) + i;
            Put32(p + 4 * i, fat < fatSectors ? fatStart + fat : kFree);
        }
        Put32(p + 4 * (kPerSector - 1), d + 1 < difatSectors ? difatStart + d + 1 : kEndOfChain);
    }

    // FAT: one chain each for the data, the mini FAT and the directory.
    std::vector<std::uint32_t> fat(std::size_t(fatSectors) * kPerSector, kFree);
    auto chain = [&](std::uint32_t start, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) fat[start + i] = i + 1 < count ? start + i + 1 : kEndOfChain;
    };
    chain(0, dataSectors);
    chain(miniFatStart, miniFatSectors);
    chain(dirStart, dirSectors);
    for (std::uint32_t i = 0; i < fatSectors; ++i) fat[fatStart + i] = kFatSect;
    for (std::uint32_t i = 0; i < difatSectors; ++i) fat[difatStart + i] = kDifSect;
    for (std::size_t i = 0; i < fat.size(); ++i) Put32(sector(fatStart) + 4 * i, fat[i]);

    // Mini FAT: the stream's mini sectors in one chain.
    if (miniFatSectors) {
        std::uint8_t* p = sector(miniFatStart);
        for (std::uint32_t i = 0; i < miniFatSectors * kPerSector; ++i)
            Put32(p + 4 * i, i < miniSectors ? (i + 1 < miniSectors ? i + 1 : kEndOfChain) : kFree);
    }

    // Directory: root (owning the mini stream), the one stream, two unused entries.
    std::uint8_t* dir = sector(dirStart);
    PutEntry(dir, u"Root Entry", 5, 1, miniSectors ? 0 : kEndOfChain, miniSectors * kMiniSector);
    PutEntry(dir + 128, streamName, 2, kNoStream, size ? 0 : kEndOfChain, size);
    for (int i = 2; i < 4; ++i) {
        Put32(dir + 128 * i + 68, kNoStream);
        Put32(dir + 128 * i + 72, kNoStream);
        Put32(dir + 128 * i + 76, kNoStream);
    }

    // The stream's bytes (in the mini stream or in sectors of their own, both from sector 0).
    if (skipped == 0 && size) std::copy(stream, stream + size, sector(0));
    return file;
}

}  // namespace

std::vector<std::uint8_t> BuildCompoundFile(const std::u16string& streamName, const std::vector<std::uint8_t>& stream) {
    return BuildContainer(streamName, static_cast<std::uint32_t>(stream.size()), stream.data(), true);
}

// ---- storage calls ----

namespace {
std::function<void(const std::string&)>& MovedHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}
}  // namespace

void detail::SetMovedHook(std::function<void(const std::string& to)> hook) { MovedHook() = std::move(hook); }

int MoveFileIntoPlace(const std::string& from, const std::string& to) {
    if (MoveIntoPlace(from, to)) {
        if (MovedHook()) MovedHook()(to);
        return 0;
    }
    return errno ? errno : EIO;
}

bool FileExists(const std::string& path) {
#ifdef _WIN32
    return ::GetFileAttributesW(platform::WideCStr(platform::Utf8ToUtf16(path))) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
#endif
}

std::string Error::Text() const { return step + ": " + std::strerror(code); }

std::unique_ptr<Writer> Writer::Create(const std::string& path, Error& error) {
    error = {};
    std::string target = path;
    if (const int refused = CheckTarget(target, -1)) {
        error = {"checking the target", refused};
        return nullptr;
    }
    // Written under a name of its own in the target's folder (two saves to one file never
    // write into each other), moved onto the target when complete.
    static std::atomic<unsigned> s_count{0};
    const std::size_t slash = target.find_last_of(kSeparators);
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder + ".pesavo-" + std::to_string(ProcessId()) + "-" + std::to_string(s_count++) + ".partial";
        fd = OpenNewFile(temp);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int reason = errno ? errno : EIO;
        error = {"creating the file", reason};
        return nullptr;
    }
    CheckTarget(target, fd);
    return std::unique_ptr<Writer>(new Writer(std::move(target), std::move(temp), fd));
}

Writer::Writer(std::string target, std::string temp, int fd) : target_(std::move(target)), temp_(std::move(temp)), fd_(fd) {}

Writer::~Writer() {
    if (fd_ >= 0) CloseFile(fd_);
    if (!temp_.empty()) RemoveFile(temp_);  // never leave an unfinished file behind
}

bool Writer::Fail(const char* step, int code) {
    error_ = {step, code ? code : EIO};
    complete_ = false;
    return false;
}

bool Writer::WriteAll(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const long long n = WriteAt(fd_, data + done, size - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail("writing", n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Writer::Finish(const std::vector<std::uint8_t>& container, std::uint32_t separateStream) {
    // `container` is the whole file, or, when the stream of `separateStream` bytes has sectors
    // of its own and was written after the header already, the header sector and the sectors
    // that follow the stream's.
    static const std::uint8_t kZeros[kSector] = {};
    const bool separate = separateStream != 0;
    const std::uint32_t streamSize = separateStream;
    const std::uint8_t* meta = container.data();
    const std::size_t metaSize = container.size();
    const std::uint64_t padded = separate ? (std::uint64_t(streamSize) + kSector - 1) / kSector * kSector : 0;
    if (!WriteAll(meta, separate ? kSector : metaSize, 0)) return false;
    if (separate && !WriteAll(kZeros, static_cast<std::size_t>(padded - streamSize), kSector + streamSize)) return false;
    if (separate && !WriteAll(meta + kSector, metaSize - kSector, kSector + padded)) return false;
    const std::uint64_t end = separate ? kSector + padded + (metaSize - kSector) : metaSize;
    if (!TruncateAndSync(fd_, end)) return Fail("writing", errno);
    complete_ = true;
    return true;
}

bool Writer::Write(const std::u16string& name, std::vector<std::uint8_t> bytes) {
    if (fd_ < 0) return Fail("writing", EBADF);
    complete_ = false;
    const auto size = static_cast<std::uint32_t>(bytes.size());
    if (size < kMiniCutoff) return Finish(BuildContainer(name, size, bytes.data(), true), 0);
    // The stream's sectors straight from the buffer, then the container around them.
    if (!WriteAll(bytes.data(), size, kSector)) return false;
    bytes = {};
    return Finish(BuildContainer(name, size, nullptr, false), size);
}

bool Writer::Write(const std::u16string& name, std::uint32_t size, const StreamProducer& produce) {
    if (fd_ < 0) return Fail("writing", EBADF);
    complete_ = false;
    if (size < kMiniCutoff) {
        // Small enough to be built in memory and placed inside the container.
        std::vector<std::uint8_t> stream;
        bool overflow = false;
        const bool produced = produce([&](const std::uint8_t* data, std::size_t n) {
            if (stream.size() + n > size) return !(overflow = true);
            stream.insert(stream.end(), data, data + n);
            return true;
        });
        if (!produced || overflow || stream.size() != size) return Fail("writing", EIO);
        return Write(name, std::move(stream));
    }
    // Written piece by piece after the header sector, as the pieces come.
    std::uint64_t written = 0;
    bool ok = true;
    const bool produced = produce([&](const std::uint8_t* data, std::size_t n) {
        ok = written + n <= size ? WriteAll(data, n, kSector + written) : Fail("writing", EIO);
        written += n;
        return ok;
    });
    if (!ok) return false;
    // The producer stopped or promised another size: never a short file.
    if (!produced || written != size) return Fail("writing", EIO);
    return Finish(BuildContainer(name, size, nullptr, false), size);
}

bool Writer::Close() {
    if (fd_ < 0) return Fail("closing", EBADF);  // committed or kept already
    const int closed = CloseFile(fd_);
    fd_ = -1;
    if (closed != 0 && complete_) Fail("writing", errno);
    if (!complete_ && !error_) Fail("writing", EINVAL);  // nothing complete was written
    return complete_;
}

void Writer::Discard() {
    if (!temp_.empty()) RemoveFile(temp_);
    temp_.clear();
}

bool Writer::Commit() {
    if (!Close()) {
        Discard();
        return false;
    }
    if (const int reason = MoveFileIntoPlace(temp_, target_)) {
        Fail("moving the file into place", reason);
        Discard();
        return false;
    }
    temp_.clear();  // in place: nothing to remove
    return true;
}

std::string Writer::Keep() {
    if (!Close()) {
        Discard();
        return {};
    }
    return std::exchange(temp_, std::string());
}

}  // namespace cfb
