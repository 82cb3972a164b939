// The Windows program: common controls, COM for the shell's dialogs, and the main window.
#include "MainWindow.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    if (FAILED(CoInitialize(nullptr))) {
        MessageBoxW(nullptr, L"初始化COM支持库失败", L"Pesavo", MB_OK);
        return 1;
    }
    {
        auto window = std::make_unique<win32::MainWindow>();
        window->Run(instance);
    }
    CoUninitialize();
    return 0;
}
