#pragma once
#include <QApplication>

// The application object: starts the main window and ends the process when it closes.
class CPesavoApp : public QApplication {
    Q_OBJECT
public:
    CPesavoApp(int& argc, char** argv);
    // Runs the main window modally; returns the process exit code.
    int InitInstance();
};
