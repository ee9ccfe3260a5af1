/* A stand-in for the product's Windows programs (Orvane4.exe, setup.exe) in the tests that run
 * freshgate.exe under Wine: when started it writes, beside itself, NAME.started holding its
 * working folder and command line in UTF-8, so the test sees which program Finish started, and
 * from where, even in folders the ANSI code page cannot spell. */
#include <windows.h>

static void append(char *out, int *used, int size, const wchar_t *text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out + *used, size - *used, NULL, NULL);
    if (n > 0)
        *used += n - 1;
    if (*used < size - 1)
        out[(*used)++] = '\n';
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    static wchar_t marker[4 * MAX_PATH], folder[4 * MAX_PATH];
    static char text[16 * MAX_PATH];
    const DWORD length = GetModuleFileNameW(NULL, marker, 3 * MAX_PATH);
    if (length == 0 || length >= 3 * MAX_PATH)
        return 2;
    lstrcatW(marker, L".started");
    if (GetCurrentDirectoryW(4 * MAX_PATH, folder) == 0)
        return 3;
    int used = 0;
    append(text, &used, sizeof text, folder);
    append(text, &used, sizeof text, GetCommandLineW());
    const HANDLE file =
        CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 4;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, (DWORD)used, &written, NULL);
    CloseHandle(file);
    return ok && written == (DWORD)used ? 0 : 5;
}
