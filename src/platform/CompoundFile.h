#pragma once
// Structured storage: a writer of the published compound-file format (MS-CFB version 3,
// 512-byte sectors) behind the storage calls the workbook uses. The file is written next to
// its target and moved into place only when the last reference is released after a
// successful write, so a failed save never leaves a file that looks complete.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005);
inline constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002);
inline constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001D);
inline constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = static_cast<HRESULT>(0x80030057);
inline constexpr std::uint32_t STGM_READWRITE = 0x0002, STGM_SHARE_EXCLUSIVE = 0x0010, STGM_CREATE = 0x1000;

class IStorage;

class IStream {
public:
    HRESULT Write(const void* data, std::uint32_t size, std::uint32_t* written);
    // Write of a whole buffer the caller no longer needs: taken over instead of copied.
    HRESULT Write(std::vector<std::uint8_t>&& data, std::uint32_t* written);
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
    // errno of the last failure, for the operator's error report (0 when none).
    int LastError() const { return lastError_; }

private:
    friend HRESULT StgCreateDocfile(const char*, std::uint32_t, std::uint32_t, IStorage**);
    friend class IStream;
    IStorage(std::string path, std::string tempPath, int fd);
    ~IStorage();
    HRESULT WriteStream(const void* data, std::uint32_t size);
    HRESULT WriteStream(std::vector<std::uint8_t>&& data);
    HRESULT WriteContainer();

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

// errno of the most recent storage failure in this thread (creation, write or final release).
int LastStorageError();
void ResetStorageError();

// The bytes of a compound file holding one stream; exposed for the tests.
std::vector<std::uint8_t> BuildCompoundFile(const std::u16string& streamName, const std::vector<std::uint8_t>& stream);

}  // namespace platform
