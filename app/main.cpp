#include "app/main_window.h"
#include "base/language.h"
#include "base/task_state.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    g_instance = instance;
    SelectLanguage();
    Task();  // the shared record exists before the main window
    RunMainWindow();
    return 0;
}
