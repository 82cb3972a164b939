#pragma once
// Structured storage (namespace cfb): a writer of the published compound-file format (MS-CFB version 3,
// 512-byte sectors) behind the storage calls the workbook uses. The file is written next to
// its target and moved into place only when the last reference is released after a
// successful write, so a failed save never leaves a file that looks complete.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cfb {

using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005);
inline constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002);
inline constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001D);
inline constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = static_cast<HRESULT>(0x80030057);
inline constexpr std::uint32_t STGM_READWRITE = 0x0002, STGM_SHARE_EXCLUSIVE = 0x0010, STGM_CREATE = 0x1000;

class IStorage;

// Receives a stream's bytes in order; false stops the writing.
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
// Hands a stream's bytes, in order and in pieces of any size, to the sink it is given; false
// when it could not produce them all.
using StreamProducer = std::function<bool(const ByteSink& sink)>;

class IStream {
public:
    HRESULT Write(const void* data, std::uint32_t size, std::uint32_t* written);
    // Write of a whole buffer the caller no longer needs: taken over instead of copied.
    HRESULT Write(std::vector<std::uint8_t>&& data, std::uint32_t* written);
    // Write of a stream of `size` bytes that `produce` hands over piece by piece: the pieces go
    // to the file as they come and the stream is never held whole. Fewer or more bytes than
    // promised fail the write.
    HRESULT WriteFrom(std::uint32_t size, const StreamProducer& produce, std::uint32_t* written);
    std::uint32_t Release();

private:
    friend class IStorage;
    explicit IStream(IStorage* owner) : owner_(owner) {}
    IStorage* owner_;
};

class IStorage {
public:
    HRESULT CreateStream(const char16_t* name, std::uint32_t mode, std::uint32_t reserved1, std::uint32_t reserved2,
                         IStream** stream);
    HRESULT OpenStream(const char16_t* name, void* reserved1, std::uint32_t mode, std::uint32_t reserved2,
                       IStream** stream);
    // The last release moves the written file into place.
    std::uint32_t Release();
    // The last release, leaving a complete file under its own name for the caller to move into
    // place (MoveFileIntoPlace) once it is ready to: returns that name, or empty (nothing left)
    // when the file is not complete.
    std::string ReleaseUnmoved();
    // The file the workbook replaces: the target given, or the file a link there points to.
    const std::string& Target() const { return path_; }
    // errno of the last failure, for the operator's error report (0 when none).
    int LastError() const { return lastError_; }

private:
    friend HRESULT StgCreateDocfile(const char*, std::uint32_t, std::uint32_t, IStorage**);
    friend class IStream;
    IStorage(std::string path, std::string tempPath, int fd);
    ~IStorage();
    HRESULT WriteStream(const void* data, std::uint32_t size);
    HRESULT WriteStream(std::vector<std::uint8_t>&& data);
    HRESULT WriteStreamFrom(std::uint32_t size, const StreamProducer& produce);
    HRESULT WriteContainer();
    HRESULT WriteAll(const std::uint8_t* data, std::size_t size, std::uint64_t offset);
    HRESULT Finish(const std::vector<std::uint8_t>& container, std::uint32_t separateStream);

    std::string path_, tempPath_;
    int fd_;
    std::u16string streamName_;
    bool hasStream_ = false;
    std::vector<std::uint8_t> stream_;
    bool complete_ = false;
    int lastError_ = 0;
};

// Creates the compound file `path` (its content is only visible there after the final release).
HRESULT StgCreateDocfile(const char* path, std::uint32_t mode, std::uint32_t reserved, IStorage** storage);

// Moves a complete file onto `to` (replacing it), durably; 0, or errno (`from` stays).
int MoveFileIntoPlace(const std::string& from, const std::string& to);
bool FileExists(const std::string& path);

// errno of the most recent storage failure in this thread (creation, write or final release).
int LastStorageError();
void ResetStorageError();

// The bytes of a compound file holding one stream; exposed for the tests.
std::vector<std::uint8_t> BuildCompoundFile(const std::u16string& streamName, const std::vector<std::uint8_t>& stream);

}  // namespace cfb
