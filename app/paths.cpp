#include "app/paths.h"

#include "platform/directory.h"

int display_name(std::string* text, std::size_t n) {
    if (n >= text->size()) {
        return 0;
    }
    text->erase(0, n + 1);
    return 1;
}

int strip_tail(std::string* text, std::size_t n) {
    if (n >= text->size()) {
        return 0;
    }
    text->resize(text->size() - n);
    return 1;
}

int strip_last_components(std::string* path, int count) {
    if (count <= 0) {
        return 1;
    }
    int found = 0;
    for (std::size_t i = path->size(); i-- > 1;) {
        if ((*path)[i] == PATH_SEPARATOR && ++found == count) {
            path->resize(i);
            return 1;
        }
    }
    return 0;
}

std::string join_path(const std::string& base, const std::string& name) {
    std::string path = base;
    if (path.empty() || path.back() != PATH_SEPARATOR) {
        path += PATH_SEPARATOR;
    }
    path += name;
    return path;
}
