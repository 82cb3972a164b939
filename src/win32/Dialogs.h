#pragma once
// The Windows program's own small dialogs: the message box in the language's words (template
// 130), the progress dialog of the whole-table jobs (133) and the About box (100).
#include "Presentation.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

namespace win32 {

// The button modes and answers of the message box.
enum MessageMode { kYesNo = 0, kOk = 1 };
enum MessageAnswer { kAnswerOk = IDOK, kAnswerCancel = IDCANCEL, kAnswerYes = IDYES, kAnswerNo = IDNO };

// Shows `text` modally over `owner` with the buttons and words of `words`. Returns the answer (Esc
// and the close box: kAnswerCancel).
int ShowMessage(HWND owner, const desk::BoxWords& words, const std::u16string& text);

// Shows the progress of a job modally (`progress` counts from 0 to 1,000,000) until `ended` says
// so at one of its ticks, it is ended from outside (through `*shown`, its handle while it is on
// screen) or the operator closes it (the job runs on).
void ShowProgress(HWND owner, const std::u16string& caption, const std::u16string& display, const std::atomic<int>& progress,
                  std::function<bool()> ended, HWND* shown);

void ShowAbout(HWND owner);

// Wide-character forms of the program's UTF-16 texts for the system's calls.
inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

}  // namespace win32
