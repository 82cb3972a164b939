#include "CAboutDlg.h"

#include "DialogUnits.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("关于 Pesavo"));
    setFont(ui::DialogFont(9));
    const ui::DialogUnits du(font());
    setFixedSize(du.X(170), du.Y(62));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(QIcon(QStringLiteral(":/icons/128.svg")).pixmap(32, 32));
    icon->move(du.X(14), du.Y(14));
    icon->resize(32, 32);

    auto* name = new QLabel(QStringLiteral("Pesavo，1.0 版"), this);
    name->setGeometry(du.Rect(42, 14, 119, 8));
    auto* second = new QLabel(QStringLiteral("电子秤上位机 · 称重记录与导出"), this);
    second->setGeometry(du.Rect(42, 26, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(du.Rect(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
