#pragma once
// What the main window asks the operator through: its message boxes and the file a save
// writes. The program uses the real boxes and the platform's save dialog; a window given
// Prompts asks them instead (the window tests give their own operator).
#include "CMyMsg.h"

#include <QString>

class Prompts {
public:
    virtual ~Prompts() = default;
    // The button the operator presses on `box` (CMyMsg's results). Called on the window's
    // thread, one box at a time, as an event of its own after the one that asked.
    virtual int Answer(const CMyMsg::Showing& box) = 0;
    // The file an interactive save writes, starting from `initialName`; empty cancels.
    virtual QString ChooseSaveFile(const QString& initialName) = 0;
};
