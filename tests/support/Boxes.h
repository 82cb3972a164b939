#pragma once
// Stands in for the operator at every message box and save dialog of the windows it is given to
// (CPesavoDlg(nullptr, &boxes)): answers each box (from any thread) with a chosen button — one
// for every box, or one for a given text — and records its text; the save dialog answers with a
// chosen path.
#include "CPesavoDlg.h"

#include <QMap>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <mutex>

struct Boxes : Prompts {
    std::mutex mutex;
    QStringList texts;
    int answer = CMyMsg::IdNo;
    QMap<QString, int> answers;  // answers for particular texts, before `answer`
    QString savePath;  // what the save dialog answers; empty cancels
    // When set, the operator of a particular test: answers in place of the above (texts are
    // still recorded).
    std::function<int(const CMyMsg::Showing&)> onBox;
    std::function<QString(const QString& initialName)> onSave;

    int Answer(const CMyMsg::Showing& s) override {
        std::function<int(const CMyMsg::Showing&)> answerer;
        {
            std::lock_guard lock(mutex);
            texts << s.text;
            if (!onBox) return answers.value(s.text, answer);
            answerer = onBox;
        }
        return answerer(s);
    }
    QString ChooseSaveFile(const QString& initialName) override {
        std::function<QString(const QString&)> chooser;
        {
            std::lock_guard lock(mutex);
            if (!onSave) return savePath;
            chooser = onSave;
        }
        return chooser(initialName);
    }
    bool Shown(const QString& text) {
        std::lock_guard lock(mutex);
        return texts.contains(text);
    }
    int Count(const QString& text) {
        std::lock_guard lock(mutex);
        return static_cast<int>(texts.count(text));
    }
    // Boxes whose text starts with `head` (messages that end in a system's reason).
    int CountStartingWith(const QString& head) {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const QString& t) { return t.startsWith(head); }));
    }
};
