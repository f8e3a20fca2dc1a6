#include "tools/make_patch/source_index.h"

#include "platform/file.h"
#include "platform/thread.h"
#include "tools/make_patch/source_file.h"

#include <atomic>
#include <cstdlib>

// Blocks read per call while indexing.
static constexpr std::size_t INDEX_READ_BYTES = std::size_t{4} << 20;

static constexpr std::uint64_t PREFETCH_DISTANCE = 16;

struct IndexPart {
    const char* path;
    SourceIndex* index;
    std::uint64_t first_block;
    std::uint64_t end_block;
    const char* failure; // null while all is well
};

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

// Inserts count blocks from buffer on, the first one numbered block.
static void index_blocks(SourceIndex* index, const unsigned char* buffer, std::uint64_t block,
                         std::uint64_t count) {
    // The table is far larger than the caches, so nearly every insert
    // misses: the slots are fetched PREFETCH_DISTANCE blocks ahead, and
    // the misses overlap instead of queueing.
    std::uint64_t hashes[PREFETCH_DISTANCE];
    for (std::uint64_t i = 0; i < count + PREFETCH_DISTANCE; i++) {
        if (i >= PREFETCH_DISTANCE) {
            const std::uint64_t k = i - PREFETCH_DISTANCE;
            insert_block(index, hashes[k % PREFETCH_DISTANCE], block + k);
        }
        if (i < count) {
            const std::uint64_t hash = hash_block(buffer + i * MATCH_BLOCK);
            hashes[i % PREFETCH_DISTANCE] = hash;
            prefetch_source_slot(*index, hash);
        }
    }
}

static void index_part(void* argument) {
    IndexPart* part = static_cast<IndexPart*>(argument);
    const int descriptor = open_existing_file(part->path, FILE_READ);
    unsigned char* buffer = static_cast<unsigned char*>(std::malloc(INDEX_READ_BYTES));
    if (descriptor < 0 || buffer == nullptr) {
        part->failure = descriptor < 0 ? "cannot open the source" : "out of memory";
    }
    constexpr std::uint64_t blocks_per_read = INDEX_READ_BYTES / MATCH_BLOCK;
    std::uint64_t block = part->first_block;
    while (part->failure == nullptr && block < part->end_block) {
        const std::uint64_t count =
            part->end_block - block < blocks_per_read ? part->end_block - block : blocks_per_read;
        std::size_t got = 0;
        const std::size_t length = static_cast<std::size_t>(count * MATCH_BLOCK);
        if (!read_file_at(descriptor, block * MATCH_BLOCK, buffer, length, &got) || got != length) {
            part->failure = "cannot read the source";
            break;
        }
        index_blocks(part->index, buffer, block, count);
        block += count;
    }
    std::free(buffer);
    if (descriptor >= 0) {
        file_close(descriptor);
    }
}

// Sizes and allocates the table for index->blocks blocks.
static bool allocate_index(SourceIndex* index) {
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
    index->slots = static_cast<std::uint32_t*>(
        std::calloc(std::size_t{1} << index->slot_bits, sizeof(std::uint32_t)));
    return index->slots != nullptr;
}

bool build_source_index(const char* path, std::uint64_t length, SourceIndex* index,
                        const char** reason) {
    *index = SourceIndex{};
    index->blocks = length / MATCH_BLOCK;
    if (index->blocks == 0) {
        return true;
    }
    if (length > MAX_INDEXED_SOURCE) {
        *reason = "the source is too large to index";
        return false;
    }
    if (!allocate_index(index)) {
        *reason = "out of memory";
        return false;
    }
    const std::uint64_t half = index->blocks / 2;
    IndexPart parts[2] = {{path, index, 0, half, nullptr},
                          {path, index, half, index->blocks, nullptr}};
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
    index->blocks = length / MATCH_BLOCK;
    if (index->blocks == 0) {
        return true;
    }
    if (length > MAX_INDEXED_SOURCE || !allocate_index(index)) {
        return false;
    }
    index_blocks(index, source, 0, index->blocks);
    return true;
}
