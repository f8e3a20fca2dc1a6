#include "tools/make_patch/source_index.h"

#include "platform/file.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "tools/make_patch/source_file.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

// Blocks read per call while indexing.
static constexpr std::size_t INDEX_READ_BYTES = std::size_t{4} << 20;

static constexpr std::uint64_t PREFETCH_DISTANCE = 16;

// The reads of one thread: every INDEX_PARTS-th one from first_read on. Text
// and pictures lie in long stretches of an image, so halves of it would
// give one thread most of the text to index at every step and leave the
// other idle.
struct IndexPart {
    const char* path;
    SourceIndex* index;
    std::uint64_t first_read;
    const char* failure; // null while all is well
};

static constexpr std::uint64_t INDEX_PARTS = 2;

static unsigned bits_for(std::uint64_t value) {
    unsigned bits = 0;
    while (bits < 64 && (value >> bits) != 0) {
        bits++;
    }
    return bits;
}

// Keeps the smaller block number in the slot. Both threads write the shared
// table; a slot already holding an earlier block is only read, so blocks of
// one content (the zeros of an image) do not bounce its cache line between
// the cores.
static void insert_block(SourceIndex* index, std::uint64_t hash, std::uint64_t block) {
    const std::uint64_t mixed = mix_hash(hash);
    const std::uint32_t number_mask =
        index->index_bits >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << index->index_bits) - 1;
    const std::uint32_t entry =
        (static_cast<std::uint32_t>(mixed) & ~number_mask) | static_cast<std::uint32_t>(block + 1);
    std::atomic_ref<std::uint32_t> slot(index->slots[mixed >> (64 - index->slot_bits)]);
    std::uint32_t present = slot.load(std::memory_order_relaxed);
    while (present == 0 || (present & number_mask) > block + 1) {
        if (slot.compare_exchange_weak(present, entry, std::memory_order_relaxed)) {
            break;
        }
    }
}

unsigned index_step_bits(std::uint64_t length) {
    unsigned bits = MIN_STEP_BITS;
    while (bits < MAX_STEP_BITS && (length >> bits) > FINE_INDEX_BLOCKS) {
        bits++;
    }
    return bits;
}

// Text shares short runs between changed words and is indexed at every
// step; other data (pictures, sound, compressed archives) is matched in long
// stretches or not at all, and is indexed only every COARSE_STEP bytes,
// which keeps the inserts, the slots they take and the time they cost to
// what a coarse index of the whole source would have.
// One byte repeated (the zeros between files) is a RUN wherever it stands,
// and is left to the coarse positions too.
static constexpr std::uint64_t COARSE_STEP = std::uint64_t{1} << MAX_STEP_BITS;

static bool looks_like_text(const unsigned char* bytes) {
    std::uint64_t words[MATCH_BLOCK / 8];
    std::memcpy(words, bytes, sizeof words);
    std::uint64_t high = 0;
    std::uint64_t differ = 0;
    for (const std::uint64_t word : words) {
        high |= word;
        differ |= word ^ (bytes[0] * 0x0101010101010101u);
    }
    return (high & 0x8080808080808080u) == 0 && differ != 0;
}

// Inserts count blocks from buffer on, the first one numbered block; the
// buffer holds the source from that block on, MATCH_BLOCK - step bytes past
// the last one included.
static void index_blocks(SourceIndex* index, const unsigned char* buffer, std::uint64_t block,
                         std::uint64_t count) {
    const std::uint64_t step = std::uint64_t{1} << index->step_bits;
    const std::uint64_t coarse_mask = step < COARSE_STEP ? COARSE_STEP / step - 1 : 0;
    // The table is far larger than the caches, so nearly every insert
    // misses: the slots are fetched PREFETCH_DISTANCE blocks ahead, and
    // the misses overlap instead of queueing.
    std::uint64_t hashes[PREFETCH_DISTANCE];
    std::uint64_t numbers[PREFETCH_DISTANCE];
    std::uint64_t queued = 0;
    for (std::uint64_t i = 0; i < count; i++) {
        const unsigned char* bytes = buffer + (i << index->step_bits);
        if (((block + i) & coarse_mask) != 0 && !looks_like_text(bytes)) {
            continue;
        }
        if (queued >= PREFETCH_DISTANCE) {
            const std::uint64_t k = queued % PREFETCH_DISTANCE;
            insert_block(index, hashes[k], numbers[k]);
        }
        const std::uint64_t hash = hash_block(bytes);
        hashes[queued % PREFETCH_DISTANCE] = hash;
        numbers[queued % PREFETCH_DISTANCE] = block + i;
        prefetch_source_slot(*index, hash);
        queued++;
    }
    for (std::uint64_t k = queued > PREFETCH_DISTANCE ? queued - PREFETCH_DISTANCE : 0; k < queued;
         k++) {
        insert_block(index, hashes[k % PREFETCH_DISTANCE], numbers[k % PREFETCH_DISTANCE]);
    }
}

static void index_part(void* argument) {
    IndexPart* part = static_cast<IndexPart*>(argument);
    const int descriptor = open_existing_file(part->path, FILE_READ);
    unsigned char* buffer =
        static_cast<unsigned char*>(std::malloc(INDEX_READ_BYTES + MATCH_BLOCK));
    if (descriptor < 0 || buffer == nullptr) {
        part->failure = descriptor < 0 ? "cannot open the source" : "out of memory";
    }
    const unsigned step_bits = part->index->step_bits;
    const std::uint64_t blocks_per_read = INDEX_READ_BYTES >> step_bits;
    const std::uint64_t end_block = part->index->blocks;
    std::uint64_t block = part->first_read * blocks_per_read;
    while (part->failure == nullptr && block < end_block) {
        const std::uint64_t count =
            end_block - block < blocks_per_read ? end_block - block : blocks_per_read;
        std::size_t got = 0;
        const std::size_t length =
            static_cast<std::size_t>(((count - 1) << step_bits) + MATCH_BLOCK);
        if (!read_file_at(descriptor, block << step_bits, buffer, length, &got) || got != length) {
            part->failure = "cannot read the source";
            break;
        }
        index_blocks(part->index, buffer, block, count);
        block += INDEX_PARTS * blocks_per_read;
    }
    std::free(buffer);
    if (descriptor >= 0) {
        file_close(descriptor);
    }
}

// Chooses the step and sizes and allocates the table for a source of length
// bytes; no table when it is shorter than a block.
static bool allocate_index(SourceIndex* index, std::uint64_t length) {
    index->step_bits = index_step_bits(length);
    index->blocks = length < MATCH_BLOCK ? 0 : ((length - MATCH_BLOCK) >> index->step_bits) + 1;
    if (index->blocks == 0) {
        return true;
    }
    index->index_bits = bits_for(index->blocks);
    index->slot_bits = bits_for(index->blocks - 1);
    if (index->slot_bits < 10) {
        index->slot_bits = 10;
    }
    if (index->slot_bits > MAX_SLOT_BITS) {
        index->slot_bits = MAX_SLOT_BITS;
    }
    // Zeroed on demand by the system: the slots never written (a source of
    // few distinct blocks) cost no memory.
    const std::size_t bytes = (std::size_t{1} << index->slot_bits) * sizeof(std::uint32_t);
    index->slots = static_cast<std::uint32_t*>(std::calloc(1, bytes));
    if (index->slots == nullptr) {
        return false;
    }
    // Every insert and nearly every lookup lands on another page of the
    // table: on large pages the address translations of a 128 MiB table fit
    // the processor's cache of them.
    advise_large_pages(index->slots, bytes);
    return true;
}

bool build_source_index(const char* path, std::uint64_t length, SourceIndex* index,
                        const char** reason) {
    *index = SourceIndex{};
    if (length > MAX_INDEXED_SOURCE) {
        *reason = "the source is too large to index";
        return false;
    }
    if (!allocate_index(index, length)) {
        *reason = "out of memory";
        return false;
    }
    if (index->blocks == 0) {
        return true;
    }
    IndexPart parts[INDEX_PARTS] = {{path, index, 0, nullptr}, {path, index, 1, nullptr}};
    WorkerThread* worker = start_worker_thread(index_part, &parts[1]);
    if (worker == nullptr) {
        index_part(&parts[1]);
    }
    index_part(&parts[0]);
    if (worker != nullptr) {
        join_worker_thread(worker);
    }
    const char* failure = parts[0].failure != nullptr ? parts[0].failure : parts[1].failure;
    if (failure != nullptr) {
        free_source_index(index);
        *reason = failure;
        return false;
    }
    return true;
}

void free_source_index(SourceIndex* index) {
    std::free(index->slots);
    *index = SourceIndex{};
}

bool index_source_memory(const unsigned char* source, std::uint64_t length, SourceIndex* index) {
    *index = SourceIndex{};
    if (length > MAX_INDEXED_SOURCE || !allocate_index(index, length)) {
        return false;
    }
    index_blocks(index, source, 0, index->blocks);
    return true;
}
