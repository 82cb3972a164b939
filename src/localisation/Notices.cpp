#include "Notices.h"

#include "platform/SerialDevice.h"
#include "platform/Utf.h"

#include <cerrno>
#include <cstring>

namespace localisation {

std::u16string MessageOr(const LanguageTexts& texts, const char16_t* key, const char* english) {
    const std::u16string text = texts.Text(u"Message", key);
    return text.empty() ? platform::Utf8ToUtf16(english) : text;
}

std::u16string FailureText(const LanguageTexts& texts, int error) {
    std::u16string reason;
    switch (error) {
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            reason = MessageOr(texts, u"Error_Disk_Full", "The disk is full.");
            break;
        case EACCES:
        case EPERM:
            reason = MessageOr(texts, u"Error_No_Permission", "This user may not write there.");
            break;
        case EROFS:
            reason = MessageOr(texts, u"Error_Read_Only", "The folder or the disk is read-only.");
            break;
        case ENOENT:
        case ENOTDIR:
            reason = MessageOr(texts, u"Error_Path_Not_Found", "The folder does not exist (or the disk is not there).");
            break;
        case EFBIG:
            reason = MessageOr(texts, u"Error_Too_Large", "The table does not fit into a workbook file.");
            break;
        default:
            reason = MessageOr(texts, u"Error_Other", "The system reported an error.");
            break;
    }
    const char* system = std::strerror(error);
    return reason + u" (" + platform::Utf8ToUtf16(system ? system : "") + u", " +
           MessageOr(texts, u"Error_Number", "error") + u' ' + platform::Utf8ToUtf16(std::to_string(error)) + u")";
}

std::u16string CannotOpenText(const LanguageTexts& texts, int port, int systemError) {
    std::u16string text;
    switch (platform::ClassifyOpenError(systemError)) {
        case platform::OpenRefusal::Busy:
            text = MessageOr(texts, u"Port_Busy",
                             "Connection failed: another program is using the port. Close it, or choose another port.");
            break;
        case platform::OpenRefusal::NoAccess:
            text = MessageOr(texts, u"Port_No_Access", "Connection failed: this user may not open the port.");
#ifndef _WIN32
            text += u' ' + MessageOr(texts, u"Port_Dialout_Hint",
                                     "Add the user to the group 'dialout' (sudo usermod -aG dialout USER) and log in again.");
#endif
            break;
        case platform::OpenRefusal::Other:
            text = MessageOr(texts, u"Port_Open_Failed", "Connection failed: the port could not be opened.");
            break;
    }
    return text + u"\n(COM" + platform::Utf8ToUtf16(std::to_string(port)) + u": " +
           platform::Utf8ToUtf16(platform::SystemErrorText(systemError)) + u")";
}

}  // namespace localisation
