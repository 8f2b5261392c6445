#include "platform/win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 6; }
