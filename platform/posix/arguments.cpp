#include "platform/arguments.h"

bool program_arguments(int argc, char** argv, std::vector<std::string>* arguments) {
    arguments->clear();
    for (int i = 1; i < argc; ++i) {
        arguments->push_back(argv[i]);
    }
    return true;
}
