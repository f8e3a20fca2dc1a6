#pragma once

// A file that a run writes under a temporary name and gives its final name
// once whole. The run holds it from its creation to its rename or removal,
// in a way the system ends with the process: two copies of a program started
// in one folder never remove, write or rename each other's file, and what a
// killed run left is known for a leftover because nobody holds it.
//
// While it is held, opening its path again (open_existing_file,
// open_file_stream) hands back the held file itself, never what the name
// may stand for by then: nothing after the creation opens it by name.

#include <cstdint>

struct TemporaryFile {
    std::intptr_t holder; // the descriptor or handle that holds the file; -1 when none
    std::intptr_t folder; // where the system has them, a descriptor of the folder the
                          // file was made in, for its names; meaningful while held
};

enum TemporaryStatus {
    TEMPORARY_CREATED = 0, // a new, empty file, held by this run
    TEMPORARY_HELD = 1,    // another running program holds the file of that name
    TEMPORARY_REFUSED = 2, // the name cannot take a new file (a folder, no rights)
};

// Creates path as a new file without ever opening through what already has
// that name. A leftover nobody holds (a killed run's file, a link, a special
// file) is removed first: the name itself, never what a link points to.
TemporaryStatus create_temporary_file(const char* path, TemporaryFile* file);

// Brings the file's data to the disk, also what other descriptors of it
// wrote; 0 on success.
int flush_temporary_file(const TemporaryFile* file);

// Gives the file held the name final_path (in the same folder), replacing
// what has that name, when path still names the file held; 0 on success.
// The file stays held until release_temporary_file.
int rename_temporary_file(const TemporaryFile* file, const char* path, const char* final_path);

// Removes path when it still names the file held, then lets the file go.
void discard_temporary_file(TemporaryFile* file, const char* path);

// Lets the file go, whatever its name now.
void release_temporary_file(TemporaryFile* file);
