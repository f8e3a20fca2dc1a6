#pragma once

// What the fault cases need from the platform. Mainly running the real
// program as a child process with the faults a player's machine can throw at
// it: a time limit, input that ends early or is not there at all, a file size
// limit, an unprivileged user, and something done to it (a signal, a kill, a
// change to its files) once it has printed a given text or a given moment
// has come. What a platform cannot do
// is reported, so that a case can skip with the reason instead of testing
// something else.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// What this platform's back end can do besides input, output and time limits.
struct FaultAbilities {
    bool signals;          // send an interrupt or termination signal at the trigger
    bool kills;            // kill the program at the trigger (CHILD_SIGKILL)
    bool closed_input;     // start with no standard input at all
    bool file_size_limit;  // RLIMIT_FSIZE, with SIGXFSZ ignored
    bool unprivileged;     // drop to an ordinary user when running as root
    bool small_filesystem; // mount a small file system (as root)
    bool very_long_paths;  // make and remove a tree whose path passes 4,096 bytes
};
extern const FaultAbilities FAULT_ABILITIES;

// A file name with letters outside ASCII, in the bytes this platform's
// narrow file functions use (UTF-8 on Linux, with one byte that is not
// UTF-8 at all; the ANSI code page on Windows).
extern const char* const NON_ASCII_NAME;
// The same name as the program shows it: its own bytes on Linux, code page
// 850 on Windows.
extern const char* const NON_ASCII_NAME_SHOWN;

struct ChildRun {
    std::string program;
    std::vector<std::string> arguments;
    std::filesystem::path folder;  // working folder
    std::string input;             // standard input, then end of input
    bool no_input;                 // descriptor 0 closed instead (needs closed_input)
    bool unprivileged;             // run as an ordinary user (needs unprivileged)
    std::uint64_t file_size_limit; // bytes, 0 for none (needs file_size_limit)
    int timeout_seconds;           // the child is killed after this long
    // Once trigger has appeared in the output (and only once): send
    // trigger_signal when it is nonzero (needs signals, except for
    // CHILD_SIGKILL), otherwise call on_trigger with context.
    std::string trigger;
    int trigger_signal;
    void (*on_trigger)(void* context);
    void* context;
    // Instead of a text, when not null: asked every millisecond or so, with
    // the output so far, whether the moment has come.
    bool (*moment)(const std::string& output, void* context);
    // Standard input stays open (after input) until the child ends, so that
    // a child that waits for Enter waits until it is killed.
    bool keep_input_open;
    // When nonzero, the test stops reading and closes its end of the output
    // once this many bytes came, as `| head -c N` does.
    std::size_t output_limit;
};

struct ChildResult {
    bool started;
    bool timed_out;     // killed after timeout_seconds
    bool killed;        // ended by a signal or a kill (or, on Windows, a crash status)
    int exit_code;      // when neither of the above
    bool triggered;     // the trigger text was seen and acted on
    std::string output; // everything written to standard output
};

// Signal numbers for ChildRun::trigger_signal; 0 where there are none.
// CHILD_SIGKILL ends the child at once on every platform (on Windows by
// TerminateProcess).
extern const int CHILD_SIGINT;
extern const int CHILD_SIGTERM;
extern const int CHILD_SIGKILL;
extern const int CHILD_SIGQUIT;

ChildResult run_child(const ChildRun& run);

// Whether the test itself runs with the rights of the superuser (for whom
// permissions do not stop anything).
bool running_as_superuser();

// Mounts an empty file system of the given size at folder (which must
// exist); false when the platform or the user's rights do not allow it.
bool mount_small_filesystem(const std::filesystem::path& folder, std::uint64_t bytes);
void unmount_filesystem(const std::filesystem::path& folder);
