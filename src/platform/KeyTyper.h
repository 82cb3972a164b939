#pragma once
// Typing text into whichever window has the keyboard focus, as if the operator typed it: key
// presses the system delivers to that window (the X server's XTEST extension, Windows'
// SendInput), never the clipboard.
#include <memory>
#include <string_view>

namespace platform {

// A key pressed after a text.
enum class AfterKey { None, Enter, Tab };

class KeyTyper {
public:
    virtual ~KeyTyper() = default;
    // Whether the window with the keyboard focus is one of this process's own.
    virtual bool OwnWindowFocused() = 0;
    // Types `text` (any character, whatever the keyboard layout), then `after`. False when a key
    // could not be typed; the rest of the text is still tried.
    virtual bool Type(std::u16string_view text, AfterKey after) = 0;
    // Nothing to type for a while: the keyboard is left as it was found.
    virtual void Idle() {}
};

// A typer for this session; null where nothing can be typed (no X display with XTEST: a
// Wayland-only session, no display at all). Made on any thread, then used on one thread only.
std::unique_ptr<KeyTyper> OpenKeyTyper();

}  // namespace platform
