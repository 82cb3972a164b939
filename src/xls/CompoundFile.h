#pragma once
// A writer of the published compound-file format (MS-CFB version 3, 512-byte sectors) holding
// one stream: the container of a workbook. The file is written beside its target under a name of
// its own and appears under the target's name only when it is complete and committed, so a
// failed save never leaves a file that looks whole.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cfb {

// What failed: the step, and the system's reason (errno).
struct Error {
    std::string step;
    int code = 0;
    explicit operator bool() const { return code != 0; }
    std::string Text() const;
};

// Receives a stream's bytes in order; false stops the writing.
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;
// Hands a stream's bytes, in order and in pieces of any size, to the sink it is given; false
// when it could not produce them all.
using StreamProducer = std::function<bool(const ByteSink& sink)>;

class Writer {
public:
    // Starts the file that is to replace `target`: a link there is followed (its file gets the
    // workbook and keeps its permissions); a device, a pipe or a folder is refused. Null, with
    // `error` set, when the file cannot be made.
    static std::unique_ptr<Writer> Create(const std::string& target, Error& error);
    ~Writer();  // a file not committed or kept is removed
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // The file's one stream, from a buffer or from a producer that hands over exactly `size`
    // bytes in pieces (they go to the disk as they come; the stream is never held whole). True
    // when the file on disk is complete and synced; fewer or more bytes than promised fail.
    bool Write(const std::u16string& name, std::vector<std::uint8_t> bytes);
    bool Write(const std::u16string& name, std::uint32_t size, const StreamProducer& produce);
    // Moves the complete file onto its target, durably. False (the file is removed) when it is
    // not complete or cannot be moved.
    bool Commit();
    // Closes the complete file and leaves it under its own name, for the caller to move into
    // place later (MoveFileIntoPlace); empty when it is not complete (then nothing is left).
    std::string Keep();

    const std::string& Target() const { return target_; }  // the file it replaces
    const Error& LastError() const { return error_; }

private:
    Writer(std::string target, std::string temp, int fd);
    bool Fail(const char* step, int code);
    bool WriteAll(const std::uint8_t* data, std::size_t size, std::uint64_t offset);
    bool Finish(const std::vector<std::uint8_t>& container, std::uint32_t separateStream);
    bool Close();
    void Discard();  // removes the file under its own name

    std::string target_, temp_;
    int fd_;
    bool complete_ = false;
    Error error_;
};

// Moves a complete file onto `to` (replacing it), durably; 0, or errno (`from` stays).
int MoveFileIntoPlace(const std::string& from, const std::string& to);
bool FileExists(const std::string& path);

namespace detail {
// Called right after a file has been moved onto `to`: lets a test see the disk as a process
// killed at that moment would leave it. Not for the program's own use.
void SetMovedHook(std::function<void(const std::string& to)> hook);
}  // namespace detail

// The bytes of a compound file holding one stream; exposed for the tests.
std::vector<std::uint8_t> BuildCompoundFile(const std::u16string& streamName, const std::vector<std::uint8_t>& stream);

}  // namespace cfb
