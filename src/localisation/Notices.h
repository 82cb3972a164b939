#pragma once
// Texts of the operator's messages that both windows build the same way from the language file.
#include "LanguageFiles.h"

#include <string>

namespace localisation {

// A text of section "Message", or the English words when the language file has none (a text
// added after the file was translated): no message ever shows empty.
std::u16string MessageOr(const LanguageTexts& texts, const char16_t* key, const char* english);

// What went wrong with a file (a save, the journal, the settings), in the operator's words — the
// disk is full, no permission, read-only, the folder is missing, … — with the system's own text
// and the number beside it. `error` is an errno value.
std::u16string FailureText(const LanguageTexts& texts, int error);

// What the operator is told when COM<port> would not open: why, in the language's words, with
// what to do about it, and the system's own reason for `systemError`.
std::u16string CannotOpenText(const LanguageTexts& texts, int port, int systemError);

}  // namespace localisation
