#pragma once
// The program's own message box: title, text and button captions all come from the current
// language. Mode 0 asks with yes/no (result 6 or 7), mode 1 shows one OK button (result 1);
// Esc or the close box gives 2.
//
// A box never waits: Open shows it and returns, and the pressed button comes later, as an event
// of its own, to the function given. An answerer given to a box answers its showings in place of
// the operator (the window's tests give theirs) — also later, never inside Open.
#include "LanguageFiles.h"

#include <QString>

#include <functional>
#include <memory>

class QWidget;

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

    // The language of the title ("Warning") and of the buttons.
    void SetTexts(std::shared_ptr<const localisation::LanguageTexts> texts) { m_texts = std::move(texts); }
    void SetLanguageFile(const QString& path);

    // What a box of `mode` with `text` shows in the current language. The serial engine's error
    // box has the fixed caption "Application Error", an error sign and OK.
    Showing Prepare(int mode, const QString& text, bool systemError = false) const;
    // Shows the box modal to `parent` and returns at once; `answered` gets the pressed button.
    void Open(QWidget* parent, const Showing& showing, std::function<void(int)> answered) const;

    // Answers this box's showings in place of the real box, until reset with an empty function.
    void SetAnswerer(Answerer answerer) { m_answerer = std::move(answerer); }

    // Template 130, for the widget tests that drive the real box.
    static constexpr int kWidth = 177, kHeight = 70;

private:
    std::shared_ptr<const localisation::LanguageTexts> m_texts;
    Answerer m_answerer;
};
