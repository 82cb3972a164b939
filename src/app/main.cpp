#include "CPesavoApp.h"

int main(int argc, char** argv) {
    CPesavoApp app(argc, argv);
    return app.InitInstance();
}
