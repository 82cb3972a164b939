#include "CPesavoApp.h"

#include "CPesavoDlg.h"
#include "platform/Folder.h"

#include <memory>

CPesavoApp::CPesavoApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Pesavo"));
    setApplicationVersion(QStringLiteral("0.3.1.0"));
    setQuitOnLastWindowClosed(false);  // the modal run decides when the program ends
}

int CPesavoApp::InitInstance() {
    // The window is large (the weight store), so it lives on the heap, not on the stack.
    auto dlg = std::make_unique<CPesavoDlg>();
    dlg->SetJournalFolder(platform::UserDataFolder());
    dlg->DoModal();
    return 0;
}
