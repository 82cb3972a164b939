// Typing through the X server's XTEST extension. Each character is sent as the key that makes
// it in the keyboard map the server has now (with Shift when it is the key's second level); a
// character no key makes (a non-ASCII prefix on a US keyboard, a comma on a layout without one)
// is put on a spare key of the map for as long as the typing lasts, then that key is emptied
// again. The keyboard's current group and Caps Lock are taken into account, so what arrives is
// the text whatever the layout.
//
// The typer has a display connection of its own, used by one thread only.
#include "KeyTyper.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// ---- errors of our own connections ----
// Xlib reports a request that failed (a window that was closed while we asked about it) to a
// handler of the whole process, whose default ends the program. Ours counts the errors of the
// typers' connections and passes every other connection's on to the handler that was there.
std::mutex g_errorsLock;
std::vector<std::pair<Display*, unsigned>> g_errors;  // our connections, and their errors so far
XErrorHandler g_previousHandler = nullptr;

int OnXError(Display* display, XErrorEvent* error) {
    {
        std::lock_guard lock(g_errorsLock);
        for (auto& [ours, count] : g_errors)
            if (ours == display) {
                ++count;
                return 0;
            }
    }
    return g_previousHandler ? g_previousHandler(display, error) : 0;
}

void Watch(Display* display) {
    std::lock_guard lock(g_errorsLock);
    static const bool installed = [] {
        g_previousHandler = XSetErrorHandler(OnXError);
        return true;
    }();
    (void)installed;
    g_errors.emplace_back(display, 0);
}

void Unwatch(Display* display) {
    std::lock_guard lock(g_errorsLock);
    std::erase_if(g_errors, [display](const auto& entry) { return entry.first == display; });
}

unsigned Errors(Display* display) {
    std::lock_guard lock(g_errorsLock);
    for (const auto& [ours, count] : g_errors)
        if (ours == display) return count;
    return 0;
}

// The keysym of a character: Latin-1 ones are their own code, every other one is 0x1000000 plus
// its code point (which every client turns back into that character).
KeySym KeysymOf(char32_t c) {
    if (c == U'\n' || c == U'\r') return XK_Return;
    if (c == U'\t') return XK_Tab;
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;
    return 0x01000000 | c;
}

class X11Typer : public KeyTyper {
public:
    explicit X11Typer(Display* display) : display_(display) {
        Watch(display_);
        pidAtom_ = XInternAtom(display_, "_NET_WM_PID", False);
        shift_ = XKeysymToKeycode(display_, XK_Shift_L);
    }
    ~X11Typer() override {
        Restore();
        Unwatch(display_);
        XCloseDisplay(display_);
    }
    bool OwnWindowFocused() override;
    bool Type(std::u16string_view text, AfterKey after) override;
    void Idle() override { Restore(); }

private:
    bool ReadMap();
    bool TypeKeysym(KeySym sym);
    bool Press(KeyCode code, bool shift);
    KeyCode Lend(KeySym sym);
    void Restore();
    long PidOf(Window window);
    void Sync() {
        XSync(display_, False);
        // (the connection hears every keyboard map change: nobody reads them)
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
        }
    }
    KeySym& At(int code, int index) { return map_[static_cast<std::size_t>((code - first_) * perCode_ + index)]; }

    Display* display_;
    Atom pidAtom_;
    KeyCode shift_;
    int first_ = 0, last_ = 0, perCode_ = 0;
    std::vector<KeySym> map_;  // the server's keyboard map when the text began
    unsigned group_ = 0;
    bool capsLock_ = false;
    std::vector<KeyCode> lent_;  // spare keys given a character of ours
};

long X11Typer::PidOf(Window window) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display_, window, pidAtom_, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after, &data) == Success &&
        data && format == 32 && items == 1)
        pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return pid;
}

bool X11Typer::OwnWindowFocused() {
    // A window closed while it is asked about fails the question: asked again, the focus has
    // moved on. Unanswerable: taken as ours, so that nothing is typed where we cannot tell.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const unsigned errors = Errors(display_);
        const Window root = DefaultRootWindow(display_);
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display_, &focus, &revert);
        if (focus == PointerRoot || focus == root) {
            // The keys go to the window under the pointer (with the focus on the root window as
            // well: where the focus reverts when the focused window goes away).
            Window rootBack = 0, child = 0;
            int x, y, wx, wy;
            unsigned mask;
            XQueryPointer(display_, root, &rootBack, &child, &x, &y, &wx, &wy, &mask);
            focus = child;
        }
        bool own = false;
        // The focus may be on a window inside a top-level one: the top-level names its process.
        for (Window w = focus; w != 0 && w != root && !own;) {
            own = PidOf(w) == static_cast<long>(::getpid());
            Window rootBack = 0, parent = 0, *children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(display_, w, &rootBack, &parent, &children, &count)) break;
            if (children) XFree(children);
            w = parent;
        }
        Sync();
        if (Errors(display_) == errors) return own;
    }
    return true;
}

bool X11Typer::ReadMap() {
    XDisplayKeycodes(display_, &first_, &last_);
    KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(first_), last_ - first_ + 1, &perCode_);
    if (!map) return false;
    map_.assign(map, map + (last_ - first_ + 1) * perCode_);
    XFree(map);
    XkbStateRec state{};
    if (XkbGetState(display_, XkbUseCoreKbd, &state) == Success) {
        group_ = state.group;
        capsLock_ = (state.locked_mods & LockMask) != 0;
    }
    return true;
}

bool X11Typer::Press(KeyCode code, bool shift) {
    bool ok = true;
    if (shift) ok = XTestFakeKeyEvent(display_, shift_, True, CurrentTime) && ok;
    ok = XTestFakeKeyEvent(display_, code, True, CurrentTime) && ok;
    ok = XTestFakeKeyEvent(display_, code, False, CurrentTime) && ok;
    if (shift) ok = XTestFakeKeyEvent(display_, shift_, False, CurrentTime) && ok;
    return ok;
}

KeyCode X11Typer::Lend(KeySym sym) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int code = last_; code >= first_; --code) {
            bool empty = true;
            for (int i = 0; i < perCode_ && empty; ++i) empty = At(code, i) == NoSymbol;
            if (!empty) continue;
            // Every group and level of the key makes it: the modifiers held do not matter.
            std::vector<KeySym> syms(static_cast<std::size_t>(perCode_), sym);
            XChangeKeyboardMapping(display_, code, perCode_, syms.data(), 1);
            std::copy(syms.begin(), syms.end(), &At(code, 0));
            lent_.push_back(static_cast<KeyCode>(code));
            Sync();
            return static_cast<KeyCode>(code);
        }
        // Every spare key holds a character of this text or of one before: the earlier ones
        // have arrived by now.
        if (lent_.empty()) break;
        Restore();
        if (!ReadMap()) break;
    }
    return 0;
}

bool X11Typer::TypeKeysym(KeySym sym) {
    // The key of the keyboard's current group that makes it, on its first or second level (the
    // first four keysyms of a key are the first two groups' two levels).
    const int group = group_ <= 1 ? static_cast<int>(group_) : -1;
    if (group >= 0 && perCode_ >= 2 * group + 2) {
        for (int code = first_; code <= last_; ++code) {
            for (int level = 0; level < 2; ++level) {
                if (At(code, 2 * group + level) != sym) continue;
                bool shift = level == 1;
                KeySym lower = 0, upper = 0;
                XConvertCase(sym, &lower, &upper);
                if (capsLock_ && lower != upper) shift = !shift;  // Caps Lock turns a letter's case
                return Press(static_cast<KeyCode>(code), shift);
            }
        }
    }
    const KeyCode spare = Lend(sym);
    return spare != 0 && Press(spare, false);
}

bool X11Typer::Type(std::u16string_view text, AfterKey after) {
    const unsigned errors = Errors(display_);
    if (!ReadMap()) return false;
    bool ok = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        ok = TypeKeysym(KeysymOf(c)) && ok;
    }
    if (after == AfterKey::Enter) ok = TypeKeysym(XK_Return) && ok;
    if (after == AfterKey::Tab) ok = TypeKeysym(XK_Tab) && ok;
    Sync();
    return ok && Errors(display_) == errors;
}

void X11Typer::Restore() {
    if (lent_.empty()) return;
    std::vector<KeySym> none(static_cast<std::size_t>(std::max(perCode_, 1)), NoSymbol);
    for (const KeyCode code : lent_) XChangeKeyboardMapping(display_, code, std::max(perCode_, 1), none.data(), 1);
    lent_.clear();
    Sync();
}

}  // namespace

std::unique_ptr<KeyTyper> OpenKeyTyper() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return nullptr;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        return nullptr;
    }
    return std::make_unique<X11Typer>(display);
}

}  // namespace platform
