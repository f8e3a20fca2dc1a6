#include "app/search.h"

#include "app/paths.h"
#include "platform/directory.h"

#include <cstring>

namespace {

// Process-wide walk state: slot d holds the listing of the directory at depth
// d, with that directory's identity and the path text the walk entered it by.
// The text, not the platform's resolved name, is what results are built from,
// so paths found through a link still begin with the start directory.
DirectoryListing* search_listings[FIND_HANDLE_SLOTS];
DirectoryIdentity search_identities[FIND_HANDLE_SLOTS];
bool search_identity_known[FIND_HANDLE_SLOTS];
std::string search_directory;
int search_depth = 0;

bool extension_matches(const std::string& name, const char* extension) {
    if (std::strcmp(extension, "*") == 0) {
        return true;
    }
    // A name without a dot compares from its second character on, as the
    // backward scan stops at the first; size and signature tests reject any
    // such file that is not the image.
    std::size_t dot = name.rfind('.');
    std::size_t start = dot == std::string::npos ? 1 : dot + 1;
    if (start > name.size()) {
        start = name.size();
    }
    std::string lowered = name.substr(start);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 0x20);
        }
    }
    return lowered == extension;
}

bool is_directory_above(const DirectoryIdentity& identity) {
    for (int d = 0; d <= search_depth; ++d) {
        if (search_identity_known[d] && search_identities[d].volume == identity.volume &&
            search_identities[d].index == identity.index) {
            return true;
        }
    }
    return false;
}

// Enters a subdirectory of the current one, unless the walk is at its depth
// limit, the platform refuses, or the directory is one the walk already
// stands in (a link cycle would otherwise never end).
void descend(const std::string& name) {
    if (search_depth + 1 >= FIND_HANDLE_SLOTS) {
        return;
    }
    const std::string child = join_path(search_directory, name);
    if (!set_current_directory(child)) {
        return;
    }
    DirectoryIdentity identity{};
    const bool known = current_directory_identity(&identity);
    if (known && is_directory_above(identity)) {
        set_current_directory(search_directory);
        return;
    }
    ++search_depth;
    search_listings[search_depth] = nullptr;
    search_identities[search_depth] = identity;
    search_identity_known[search_depth] = known;
    search_directory = child;
}

void abandon_walk() {
    for (int d = search_depth; d >= 0; --d) {
        if (search_listings[d] != nullptr) {
            close_directory_listing(search_listings[d]);
            search_listings[d] = nullptr;
        }
    }
    search_depth = 0;
}

// Leaves the directory of the present depth for its parent, whose listing
// goes on after it. false when the walk is over: the start directory is done,
// or the parent cannot be entered again (removed while we walked).
bool ascend() {
    if (search_depth == 0) {
        return false;
    }
    std::string parent = search_directory;
    if (!strip_last_components(&parent, 1)) {
        parent.resize(parent.find(PATH_SEPARATOR) + 1);
    } else if (parent.find(PATH_SEPARATOR) == std::string::npos) {
        parent += PATH_SEPARATOR;
    }
    --search_depth;
    search_directory = parent;
    if (!set_current_directory(parent)) {
        abandon_walk();
        return false;
    }
    return true;
}

} // namespace

void end_search() {
    abandon_walk();
}

int find_next_file_by_extension(std::string* result, const char* extension) {
    for (;;) {
        DirectoryListing*& listing = search_listings[search_depth];
        if (listing == nullptr) {
            if (search_depth == 0) {
                if (!get_current_directory(&search_directory)) {
                    return 0;
                }
                search_identity_known[0] = current_directory_identity(&search_identities[0]);
            }
            listing = open_directory_listing();
            if (listing == nullptr) {
                // An unreadable subdirectory is passed over; the rest of the
                // tree may still hold the image.
                if (!ascend()) {
                    return 0;
                }
                continue;
            }
        }

        DirectoryEntry entry;
        if (!next_directory_entry(listing, &entry)) {
            close_directory_listing(listing);
            listing = nullptr;
            if (!ascend()) {
                return 0;
            }
            continue;
        }
        if (entry.name == "." || entry.name == "..") {
            continue;
        }
        // A folder link is never entered: one that leads outside the start
        // folder would take the walk (and the output) into another's
        // folders, and one that stays inside leads where the walk goes
        // anyway by the folder's own name.
        if (entry.is_directory) {
            if (!entry.is_link) {
                descend(entry.name);
            }
            continue;
        }
        // A pipe, device or socket is no image, and opening one could wait
        // for ever.
        if (!entry.is_special && extension_matches(entry.name, extension)) {
            *result = join_path(search_directory, entry.name);
            return 1;
        }
    }
}
