#include "CPesavoApp.h"

#include <csignal>

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit fails a save with EFBIG, told as any other failure
#endif
    CPesavoApp app(argc, argv);
    return app.InitInstance();
}
