#pragma once
// The desk's questions and notices: one box at a time, the others waiting in order behind it.
// Each is of a kind, by which the desk knows whether one is already asked (a second click on the
// connect button does not ask Port_Close twice) and the tests find the one they answer. A notice
// already waiting says it all: the same one is not queued again.
//
// Questions are events: Ask returns at once, and the answer comes back through Answer, which runs
// what was to follow it. While a question is open, held work (the automatic save, a disconnect,
// closing) waits.
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace weighing {
class HeldWork;
}

namespace desk {

// The message box's modes and answers (Esc or the close box answers kCancel).
enum Mode : int { kYesNo = 0, kOkOnly = 1 };
enum Answer : int { kOk = 1, kCancel = 2, kYes = 6, kNo = 7 };

enum class Prompt {
    Notice,          // something the operator is told
    CloseExe,        // close the program with rows in the table?
    PortClose,       // save the rows before the connection closes?
    ClearData,       // clear the table?
    ErrorError,      // errors keep coming: disconnect?
    JournalRestore,  // put the rows of the last run back?
    TableFull,       // the full table was saved (or not)
    LineError,       // the serial engine's box about the line it works with
    SettingsRefused, // the serial engine's box about a setting the device refused
};

struct Question {
    std::uint64_t id = 0;  // handed back with the answer
    int mode = kOkOnly;
    std::u16string text;
    bool systemError = false;  // the serial engine's own box: fixed caption "Application Error"
    Prompt kind = Prompt::Notice;
};

class View;

// `text` with "%1" (and "%2") replaced, in one pass over the language's text: a path put in may
// itself hold "%2".
std::u16string Fill(std::u16string text, const std::u16string& first, const std::u16string& second = {});

class Questions {
public:
    using Continuation = std::function<void(int answer)>;
    // `mayShow` says whether a box may come up now (not while the save dialog is open, nor once
    // the desk is closing); `idle` runs when the last answer leaves nothing open.
    Questions(View& view, weighing::HeldWork& held, std::function<bool()> mayShow, std::function<void()> idle);

    void Ask(Prompt kind, int mode, std::u16string text, Continuation then = {}, bool systemError = false);
    // The view's answer to the question shown; any other is stale and ignored.
    void Answer(std::uint64_t question, int answer);
    // Shows the next one waiting, if a box may come up now.
    void ShowNext();
    bool Open() const { return open_.has_value(); }
    // One of `kind` is open or waiting.
    bool Asked(Prompt kind) const;
    // Those of `kind` not shown yet are dropped.
    void Forget(Prompt kind);

private:
    struct Pending {
        Question question;
        Continuation then;
    };
    View& view_;
    weighing::HeldWork& held_;
    std::function<bool()> mayShow_;
    std::function<void()> idle_;
    std::optional<Pending> open_;
    std::deque<Pending> waiting_;
    std::uint64_t next_ = 1;
};

}  // namespace desk
