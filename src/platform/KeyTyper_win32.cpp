// Typing through SendInput: every character as a Unicode key event (the system hands the window
// the character itself, whatever the keyboard layout), Enter and Tab as their keys. A text goes
// in one call, so the operator's own keys cannot land inside it.
#include "KeyTyper.h"

#include <windows.h>

#include <vector>

namespace platform {

namespace {

void AddKey(std::vector<INPUT>& inputs, WORD virtualKey) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    inputs.push_back(input);
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(input);
}

void AddCharacter(std::vector<INPUT>& inputs, char16_t unit) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wScan = unit;  // (a character beyond U+FFFF goes as its two surrogates, in turn)
    input.ki.dwFlags = KEYEVENTF_UNICODE;
    inputs.push_back(input);
    input.ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
    inputs.push_back(input);
}

class Win32Typer : public KeyTyper {
public:
    bool OwnWindowFocused() override {
        const HWND window = ::GetForegroundWindow();
        DWORD process = 0;
        return window && ::GetWindowThreadProcessId(window, &process) && process == ::GetCurrentProcessId();
    }

    bool Type(std::u16string_view text, AfterKey after) override {
        std::vector<INPUT> inputs;
        for (const char16_t c : text) {
            if (c == u'\n' || c == u'\r') AddKey(inputs, VK_RETURN);
            else if (c == u'\t') AddKey(inputs, VK_TAB);
            else AddCharacter(inputs, c);
        }
        if (after == AfterKey::Enter) AddKey(inputs, VK_RETURN);
        if (after == AfterKey::Tab) AddKey(inputs, VK_TAB);
        if (inputs.empty()) return true;
        // Fewer events taken than given: another program's input came first, or the focused
        // window runs with higher rights than ours (the system blocks keys sent to it).
        return ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) == inputs.size();
    }
};

}  // namespace

std::unique_ptr<KeyTyper> OpenKeyTyper() { return std::make_unique<Win32Typer>(); }

}  // namespace platform
