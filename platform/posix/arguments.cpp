#include "platform/arguments.h"

bool read_program_arguments(int* argc, char*** argv, ProgramArguments* arguments) {
    arguments->text.assign(*argv, *argv + *argc);
    arguments->pointers.clear();
    for (std::string& argument : arguments->text) {
        arguments->pointers.push_back(argument.data());
    }
    arguments->pointers.push_back(nullptr);
    *argc = static_cast<int>(arguments->text.size());
    *argv = arguments->pointers.data();
    return true;
}
