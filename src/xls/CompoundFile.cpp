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
long long WriteAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    if (::_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
    return ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
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

thread_local int t_lastError = 0;

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

HRESULT FromErrno(int err) {
    t_lastError = err;
    switch (err) {
        case EACCES: case EPERM: case EROFS: case EISDIR: return STG_E_ACCESSDENIED;
        case ENOENT: case ENOTDIR: return STG_E_FILENOTFOUND;
#ifdef EDQUOT
        case EDQUOT:
#endif
        case ENOSPC: return STG_E_MEDIUMFULL;
        default: return STG_E_WRITEFAULT;
    }
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

int MoveFileIntoPlace(const std::string& from, const std::string& to) {
    if (MoveIntoPlace(from, to)) return 0;
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

int LastStorageError() { return t_lastError; }
void ResetStorageError() { t_lastError = 0; }

HRESULT StgCreateDocfile(const char* path, std::uint32_t mode, std::uint32_t, IStorage** storage) {
    if (!path || !storage || !(mode & STGM_CREATE)) return STG_E_INVALIDPARAMETER;
    *storage = nullptr;
    std::string target = path;
    if (const int refused = CheckTarget(target, -1)) return FromErrno(refused);
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
    if (fd < 0) return FromErrno(errno);
    CheckTarget(target, fd);
    *storage = new IStorage(target, temp, fd);
    return S_OK;
}

IStorage::IStorage(std::string path, std::string tempPath, int fd)
    : path_(std::move(path)), tempPath_(std::move(tempPath)), fd_(fd) {}

IStorage::~IStorage() = default;

HRESULT IStorage::CreateStream(const char16_t* name, std::uint32_t, std::uint32_t, std::uint32_t, IStream** stream) {
    if (!name || !stream) return STG_E_INVALIDPARAMETER;
    streamName_ = name;
    hasStream_ = true;
    stream_.clear();
    *stream = new IStream(this);
    return S_OK;
}

HRESULT IStorage::OpenStream(const char16_t* name, void*, std::uint32_t, std::uint32_t, IStream** stream) {
    if (!name || !stream) return STG_E_INVALIDPARAMETER;
    *stream = nullptr;
    if (!hasStream_ || streamName_ != name) return STG_E_FILENOTFOUND;
    *stream = new IStream(this);
    return S_OK;
}

HRESULT IStorage::WriteStream(const void* data, std::uint32_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    stream_.insert(stream_.end(), bytes, bytes + size);
    return WriteContainer();
}

HRESULT IStorage::WriteStream(std::vector<std::uint8_t>&& data) {
    if (stream_.empty()) stream_ = std::move(data);
    else stream_.insert(stream_.end(), data.begin(), data.end());
    return WriteContainer();
}

HRESULT IStorage::WriteAll(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const long long n = WriteAt(fd_, data + done, size - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lastError_ = n < 0 ? errno : ENOSPC;
            return FromErrno(lastError_);
        }
        done += static_cast<std::size_t>(n);
    }
    return S_OK;
}

HRESULT IStorage::WriteContainer() {
    complete_ = false;
    const auto size = static_cast<std::uint32_t>(stream_.size());
    if (size < kMiniCutoff) {
        // A small stream lives inside the container.
        const std::vector<std::uint8_t> file = BuildContainer(streamName_, size, stream_.data(), true);
        return Finish(file, 0);
    }
    // The container is rewritten whole: it is small beside the stream, and on disk it is
    // complete after every successful write. The stream's sectors come straight from its buffer.
    const std::vector<std::uint8_t> meta = BuildContainer(streamName_, size, nullptr, false);
    if (const HRESULT hr = WriteAll(stream_.data(), size, kSector); hr < 0) return hr;
    return Finish(meta, size);
}

HRESULT IStorage::Finish(const std::vector<std::uint8_t>& container, std::uint32_t separateStream) {
    // `container` is the whole file, or, when the stream of `separateStream` bytes has sectors
    // of its own and was written after the header already, the header sector and the sectors
    // that follow the stream's.
    static const std::uint8_t kZeros[kSector] = {};
    const bool separate = separateStream != 0;
    const std::uint32_t streamSize = separateStream;
    const std::uint8_t* meta = container.data();
    const std::size_t metaSize = container.size();
    const std::uint64_t padded = separate ? (std::uint64_t(streamSize) + kSector - 1) / kSector * kSector : 0;
    HRESULT hr = WriteAll(meta, separate ? kSector : metaSize, 0);
    if (hr >= 0 && separate) hr = WriteAll(kZeros, static_cast<std::size_t>(padded - streamSize), kSector + streamSize);
    if (hr >= 0 && separate) hr = WriteAll(meta + kSector, metaSize - kSector, kSector + padded);
    if (hr < 0) return hr;
    const std::uint64_t end = separate ? kSector + padded + (metaSize - kSector) : metaSize;
    if (!TruncateAndSync(fd_, end)) {
        lastError_ = errno;
        return FromErrno(lastError_);
    }
    complete_ = true;
    return S_OK;
}

HRESULT IStorage::WriteStreamFrom(std::uint32_t size, const StreamProducer& produce) {
    complete_ = false;
    stream_.clear();
    stream_.shrink_to_fit();
    if (size < kMiniCutoff) {
        // Small enough to be built in memory and placed inside the container.
        bool overflow = false;
        const bool produced = produce([&](const std::uint8_t* data, std::size_t n) {
            if (stream_.size() + n > size) return !(overflow = true);
            stream_.insert(stream_.end(), data, data + n);
            return true;
        });
        if (!produced || overflow || stream_.size() != size) {
            lastError_ = EIO;
            return FromErrno(lastError_);
        }
        return WriteContainer();
    }
    // Written piece by piece after the header sector, as the pieces come.
    std::uint64_t written = 0;
    HRESULT failed = S_OK;
    const bool produced = produce([&](const std::uint8_t* data, std::size_t n) {
        if (written + n > size) failed = FromErrno(lastError_ = EIO);
        else failed = WriteAll(data, n, kSector + written);
        written += n;
        return failed >= 0;
    });
    if (failed < 0) return failed;
    if (!produced || written != size) {
        lastError_ = EIO;  // the producer stopped or promised another size: never a short file
        return FromErrno(lastError_);
    }
    const std::vector<std::uint8_t> meta = BuildContainer(streamName_, size, nullptr, false);
    return Finish(meta, size);
}

std::string IStorage::ReleaseUnmoved() {
    std::string kept;
    if (CloseFile(fd_) != 0 && complete_) {
        lastError_ = errno;
        complete_ = false;
    }
    if (complete_) {
        kept = tempPath_;  // complete on disk under its own name
    } else {
        if (lastError_) t_lastError = lastError_;
        RemoveFile(tempPath_);
    }
    delete this;
    return kept;
}

std::uint32_t IStorage::Release() {
    bool moved = false;
    if (CloseFile(fd_) != 0 && complete_) {
        lastError_ = errno;
        complete_ = false;
    }
    if (complete_) {
        moved = MoveIntoPlace(tempPath_, path_);
        if (!moved) lastError_ = errno;
    }
    if (!moved) {
        if (lastError_) t_lastError = lastError_;
        RemoveFile(tempPath_);  // never leave a partial file behind
    }
    delete this;
    return 0;
}

HRESULT IStream::Write(std::vector<std::uint8_t>&& data, std::uint32_t* written) {
    const auto size = static_cast<std::uint32_t>(data.size());
    const HRESULT hr = owner_->WriteStream(std::move(data));
    if (written) *written = hr >= 0 ? size : 0;
    return hr;
}

HRESULT IStream::Write(const void* data, std::uint32_t size, std::uint32_t* written) {
    const HRESULT hr = owner_->WriteStream(data, size);
    if (written) *written = hr == S_OK ? size : 0;
    return hr;
}

HRESULT IStream::WriteFrom(std::uint32_t size, const StreamProducer& produce, std::uint32_t* written) {
    const HRESULT hr = owner_->WriteStreamFrom(size, produce);
    if (written) *written = hr >= 0 ? size : 0;
    return hr;
}

std::uint32_t IStream::Release() {
    delete this;
    return 0;
}

}  // namespace cfb
