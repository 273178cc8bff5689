# The linux build: Wine's winelib. WCHAR is char16_t (-fno-short-wchar), the
# program links Unix libraries (wimlib, hivex) directly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER winegcc)
set(CMAKE_CXX_COMPILER wineg++)
set(CMAKE_EXECUTABLE_SUFFIX ".exe")
set(CORVANE_WINELIB ON)
