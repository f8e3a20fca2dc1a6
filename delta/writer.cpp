#include "delta/writer.h"

#include "platform/file.h"
#include "platform/thread.h"

#include <cstring>

static usize_t piece_length(usize_t from, usize_t end) {
    return end - from < WRITE_PIECE_BYTES ? end - from : WRITE_PIECE_BYTES;
}

// Writes the piece that starts at from; false when it fell short. The bytes
// that reached the file are counted either way.
static bool write_piece(OutputWriter* writer, const unsigned char* window, usize_t from,
                        usize_t end, usize_t* written) {
    const std::size_t length = static_cast<std::size_t>(piece_length(from, end));
    const std::size_t count = std::fwrite(window + from, 1, length, writer->file);
    *written += count;
    writer->file_bytes += count;
    if (writer->file_bytes - writer->writeback_start >= WRITEBACK_STEP_BYTES) {
        start_stream_writeback(writer->file, writer->writeback_start,
                               writer->file_bytes - writer->writeback_start);
        writer->writeback_start = writer->file_bytes;
    }
    return count == length;
}

static void write_handed_bytes(void* context) {
    OutputWriter* writer = static_cast<OutputWriter*>(context);
    enter_monitor(writer->monitor);
    for (;;) {
        while (!writer->stopping && !writer->failed && writer->written == writer->handed) {
            wait_in_monitor(writer->monitor);
        }
        if (writer->stopping || writer->failed) {
            break;
        }
        const unsigned char* window = writer->window;
        const usize_t from = writer->written;
        const usize_t end = writer->handed;
        leave_monitor(writer->monitor);
        usize_t count = 0;
        const bool whole = write_piece(writer, window, from, end, &count);
        enter_monitor(writer->monitor);
        writer->written += count;
        writer->failed = !whole;
        wake_monitor_waiters(writer->monitor);
    }
    leave_monitor(writer->monitor);
}

void start_output_writer(OutputWriter* writer, std::FILE* file) {
    std::memset(writer, 0, sizeof *writer);
    writer->file = file;
    // Windows arrive whole: a stream buffer would only split each write.
    std::setvbuf(file, nullptr, _IONBF, 0);
    writer->monitor = create_monitor();
    if (writer->monitor == nullptr) {
        return;
    }
    writer->thread = start_worker_thread(write_handed_bytes, writer);
    if (writer->thread == nullptr) {
        destroy_monitor(writer->monitor);
        writer->monitor = nullptr;
    }
}

bool hand_over_window_bytes(OutputWriter* writer, const unsigned char* window, usize_t end) {
    if (writer->thread == nullptr) {
        writer->window = window;
        while (!writer->failed && writer->written < end) {
            writer->failed = !write_piece(writer, window, writer->written, end, &writer->written);
        }
        writer->handed = writer->written;
        return !writer->failed;
    }
    enter_monitor(writer->monitor);
    writer->window = window;
    if (end > writer->handed) {
        writer->handed = end;
        wake_monitor_waiters(writer->monitor);
    }
    const bool failed = writer->failed;
    leave_monitor(writer->monitor);
    return !failed;
}

usize_t finish_window_writes(OutputWriter* writer, bool* complete) {
    if (writer->monitor != nullptr) {
        enter_monitor(writer->monitor);
        while (!writer->failed && writer->written < writer->handed) {
            wait_in_monitor(writer->monitor);
        }
    }
    const usize_t written = writer->written;
    *complete = !writer->failed;
    if (!writer->failed) {
        writer->window = nullptr;
        writer->handed = 0;
        writer->written = 0;
    }
    if (writer->monitor != nullptr) {
        leave_monitor(writer->monitor);
    }
    return written;
}

void stop_output_writer(OutputWriter* writer) {
    if (writer->thread != nullptr) {
        enter_monitor(writer->monitor);
        writer->stopping = true;
        wake_monitor_waiters(writer->monitor);
        leave_monitor(writer->monitor);
        join_worker_thread(writer->thread);
        writer->thread = nullptr;
    }
    if (writer->monitor != nullptr) {
        destroy_monitor(writer->monitor);
        writer->monitor = nullptr;
    }
}
