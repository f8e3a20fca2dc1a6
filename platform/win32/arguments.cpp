#include "platform/arguments.h"

#include "platform/win32/wide.h"

#include <windows.h>

bool read_program_arguments(int* argc, char*** argv, ProgramArguments* arguments) {
    arguments->text.clear();
    arguments->pointers.clear();
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return false;
    }
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        std::string argument;
        ok = narrow(wide[i], &argument);
        arguments->text.push_back(argument);
    }
    LocalFree(wide);
    for (std::string& argument : arguments->text) {
        arguments->pointers.push_back(argument.data());
    }
    arguments->pointers.push_back(nullptr);
    *argc = static_cast<int>(arguments->text.size());
    *argv = arguments->pointers.data();
    return ok;
}
