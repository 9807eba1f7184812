// The entry point of a windowed program: the application object's InitInstance does everything.
#include "framework/App.h"

#include "base/DiagnosticLog.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    AvCore::ConfigureDiagnosticOutput();
    CWinApp* app = CWinApp::Get();
    if (app) app->InitInstance();
    return 0;
}
