#include "tests/support/console.h"
#include "tests/support/files.h"

#include <cstdio>
#include <unistd.h>

StdoutCapture start_stdout_capture() {
    std::fflush(stdout);
    StdoutCapture capture{dup(1), (make_temp_folder("stdout") / "out").string()};
    // Text mode, like the console: on Windows the C runtime writes CR LF.
    std::FILE* file = std::fopen(capture.path.c_str(), "w");
    dup2(fileno(file), 1);
    std::fclose(file);
    return capture;
}

std::string finish_stdout_capture(StdoutCapture* capture) {
    std::fflush(stdout);
    dup2(capture->saved, 1);
    close(capture->saved);
    const std::string text = read_file(capture->path);
    remove_temp_folder(std::filesystem::path(capture->path).parent_path());
    return text;
}
