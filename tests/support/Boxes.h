#pragma once
// Stands in for the operator at every message box and save dialog of a window test: answers
// each box (from any thread) with a chosen button — one for every box, or one for a given text —
// and records its text; the save dialog answers with a chosen path.
#include "CPesavoDlg.h"

#include <QMap>
#include <QStringList>

#include <algorithm>
#include <mutex>

struct Boxes {
    std::mutex mutex;
    QStringList texts;
    int answer = CMyMsg::IdNo;
    QMap<QString, int> answers;  // answers for particular texts, before `answer`
    QString savePath;  // what the save dialog answers; empty cancels
    Boxes() {
        CPesavoDlg::s_saveDialog = [this](const QString&) {
            std::lock_guard lock(mutex);
            return savePath;
        };
        CMyMsg::SetAnswerer([this](const CMyMsg::Showing& s) {
            std::lock_guard lock(mutex);
            texts << s.text;
            return answers.value(s.text, answer);
        });
    }
    ~Boxes() {
        CMyMsg::SetAnswerer({});
        CPesavoDlg::s_saveDialog = {};
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
