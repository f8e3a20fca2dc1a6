#include "platform/arguments.h"

#include "platform/win32/wide.h"

#include <windows.h>

bool program_arguments(int argc, char** argv, std::vector<std::string>* arguments) {
    (void)argc;
    (void)argv;
    arguments->clear();
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return false;
    }
    bool ok = true;
    for (int i = 1; ok && i < count; ++i) {
        std::string argument;
        ok = narrow(wide[i], &argument);
        arguments->push_back(argument);
    }
    LocalFree(wide);
    return ok;
}
