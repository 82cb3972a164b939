#pragma once
// Stands in for the operator at every message box and save dialog of a window test: answers
// each box (from any thread) with a chosen button and records its text; the save dialog answers
// with a chosen path.
#include "CPesavoDlg.h"

#include <QStringList>

#include <mutex>

struct Boxes {
    std::mutex mutex;
    QStringList texts;
    int answer = CMyMsg::IdNo;
    QString savePath;  // what the save dialog answers; empty cancels
    Boxes() {
        CPesavoDlg::s_saveDialog = [this](const QString&) {
            std::lock_guard lock(mutex);
            return savePath;
        };
        CMyMsg::SetAnswerer([this](const CMyMsg::Showing& s) {
            std::lock_guard lock(mutex);
            texts << s.text;
            return answer;
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
};
