#include "Notices.h"

#include "platform/SerialDevice.h"
#include "platform/Utf.h"

namespace localisation {

std::u16string MessageOr(const LanguageTexts& texts, const char16_t* key, const char* english) {
    const std::u16string text = texts.Text(u"Message", key);
    return text.empty() ? platform::Utf8ToUtf16(english) : text;
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
