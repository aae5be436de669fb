// The program entry of a Win32 dialog program (linked with -municode): registers the common
// controls the templates use, runs the one Application and ends the process with status 0.
#include <windows.h>
// windows.h first: commctrl.h needs its types.
#include <commctrl.h>

#include <cstdlib>

#include "platform/ui.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    ::InitCommonControlsEx(&controls);
    if (platform::Application* app = platform::Application::Current()) {
        app->InitInstance();
    }
    std::exit(0);
}
