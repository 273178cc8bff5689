#include "app/main_window.h"
#include "base/language.h"
#include "base/task_state.h"
#include "base/x_resources.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    KeepXResourcesRead();  // before the first window selects a font
    g_instance = instance;
    SelectLanguage();
    Task();  // the shared record exists before the main window
    RunMainWindow();
    return 0;
}
