#pragma once
// The program's own message box: title, text and button captions all come from the current
// language file. Mode 0 asks with yes/no (result 6 or 7), mode 1 shows one OK button (result 1);
// Esc or the close box gives 2.
//
// Showings are serialised: one box at a time, whatever thread asks. A worker thread that asks
// waits until the box has been answered on the user-interface thread (or until it is told to
// stop, which gives 2). An answerer given to a box answers its showings in place of the
// operator (the window's tests give theirs).
#include "LanguageFiles.h"

#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

class CMyMsg {
public:
    enum Result { IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7 };
    enum Mode { ModeYesNo = 0, ModeOk = 1 };

    // Everything one showing needs, read when the box is about to show.
    struct Showing {
        int mode = 0;
        QString title;
        QString text;
        QString yesCaption;
        QString noCaption;
        QString okCaption;
        bool systemError = false;  // the serial engine's fixed English error box
    };
    using Answerer = std::function<int(const Showing&)>;

    // Prepares the next showing; an empty title means the language's "Warning" text.
    void SetMessage(int mode, const QString& text, const QString& title);
    // Runs the prepared showing modally and returns the pressed button's value.
    int DoModal(std::stop_token stop = {});
    // SetMessage and DoModal as one step, safe when several threads ask at once.
    int Show(int mode, const QString& text, std::stop_token stop = {});
    // The serial engine's error box: fixed caption "Application Error", an error sign and OK,
    // shown one at a time like every other box.
    void ShowSystemError(const QString& text, std::stop_token stop = {});

    void SetLanguageFile(const QString& path);
    QString LanguageFile() const;

    // Answers this box's showings in place of the real box, until reset with an empty function.
    void SetAnswerer(Answerer answerer);

    // Template 130, for the widget tests that drive the real box.
    static constexpr int kWidth = 177, kHeight = 70;

private:
    QString ReadText(const char16_t* section, const char16_t* key) const;
    void AddCaptions(Showing& s) const;  // read anew at each showing
    Showing Prepare(int mode, const QString& text, const QString& title) const;
    int Run(const Showing& showing, std::stop_token stop) const;
    static int RunOnUiThread(const Showing& showing, const Answerer& answerer);

    mutable std::mutex m_mutex;
    QString m_strLangFile;
    std::shared_ptr<const localisation::LanguageTexts> m_texts;  // the language, read once
    QString m_strTitle;
    QString m_strText;
    int m_nMode = 0;
    Answerer m_answerer;
};
