#include "tools/make_patch/match.h"

#include "platform/memory.h"

#include <algorithm>
#include <cstring>

// One byte repeated this often becomes a RUN: three bytes of instruction
// against as many of data, and the ADDs around it stay whole below this.
static constexpr std::size_t SHORTEST_RUN = 8;

// The shortest COPY the default code table has a code for.
static constexpr std::size_t SHORTEST_COPY = 4;

// Matches shorter than this leave their blocks in the window's own index.
static constexpr std::size_t SHORT_MATCH = 256;

// A copy or run cut shorter than this by the next match's backward
// extension is no longer worth its instruction and address.
static constexpr std::size_t SHORTEST_KEPT = 8;

// After a copy ends, the next NEAR_REACH target positions look for their
// 4 bytes among the NEAR_AHEAD bytes that follow the copied ones: a
// translated line may be longer than the old one, and the old one may have
// lost a few words, so both reach over a line or so. The position k bytes
// past the copy sees the first k + NEAR_LEAD of those bytes: most copies
// are followed at once by another, and then only the nearest bytes were
// worth indexing.
static constexpr std::size_t NEAR_REACH = 384;
static constexpr std::size_t NEAR_AHEAD = 240;
static constexpr std::size_t NEAR_LEAD = 128;
static constexpr unsigned NEAR_BITS = 8;
static_assert(NEAR_AHEAD + 1 <= UINT8_MAX, "near offsets are kept in bytes");

// A near match shorter than this is more often a common word at another
// place than the next shared run, and moving the anchor to it loses the run.
static constexpr std::size_t SHORTEST_NEAR = 6;

// Addresses in the mirror of the address cache: source positions as they
// are, window offsets above this, so that the two never look near.
static constexpr std::uint64_t TARGET_SPACE = std::uint64_t{1} << 62;

// Positions hashed ahead of the scan, so that their index slots are fetched
// before they are needed.
static constexpr std::size_t LOOKAHEAD = 16;

// Backward extension over earlier instructions stops this far back, which
// bounds the work when long stretches match again and again.
static constexpr std::size_t LONGEST_BACKWARD = std::size_t{1} << 20;

static std::uint64_t load_word(const unsigned char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Bytes a[i] == b[i] from i = 0 on, at most limit.
static std::size_t common_prefix(const unsigned char* a, const unsigned char* b,
                                 std::size_t limit) {
    std::size_t n = 0;
    while (n + 8 <= limit) {
        const std::uint64_t difference = load_word(a + n) ^ load_word(b + n);
        if (difference != 0) {
            // Little-endian words: the first differing byte is the lowest.
            return n + static_cast<std::size_t>(__builtin_ctzll(difference) / 8);
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) {
        n++;
    }
    return n;
}

// Bytes a[-1 - i] == b[-1 - i] from i = 0 on, at most limit.
static std::size_t common_suffix(const unsigned char* a, const unsigned char* b,
                                 std::size_t limit) {
    std::size_t n = 0;
    while (n + 8 <= limit) {
        const std::uint64_t difference = load_word(a - n - 8) ^ load_word(b - n - 8);
        if (difference != 0) {
            return n + static_cast<std::size_t>(__builtin_clzll(difference) / 8);
        }
        n += 8;
    }
    while (n < limit &&
           a[-1 - static_cast<std::ptrdiff_t>(n)] == b[-1 - static_cast<std::ptrdiff_t>(n)]) {
        n++;
    }
    return n;
}

// Target bytes from target on that equal the source from position on, at
// most limit.
static std::size_t source_forward(SourceCache* source, std::uint64_t position,
                                  const unsigned char* target, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit) {
        std::size_t available = 0;
        const unsigned char* bytes = source_bytes(source, position + n, &available);
        if (bytes == nullptr) {
            break;
        }
        const std::size_t span = available < limit - n ? available : limit - n;
        const std::size_t same = common_prefix(bytes, target + n, span);
        n += same;
        if (same < span) {
            break;
        }
    }
    return n;
}

// Bytes before target that equal those before the source position, at most
// limit; read a page at a time from the back.
static std::size_t source_backward(SourceCache* source, std::uint64_t position,
                                   const unsigned char* target, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit) {
        const std::uint64_t end = position - n;
        const std::uint64_t page_start = (end - 1) / SOURCE_PAGE_BYTES * SOURCE_PAGE_BYTES;
        const std::size_t piece =
            static_cast<std::size_t>(end - page_start < limit - n ? end - page_start : limit - n);
        std::size_t available = 0;
        const unsigned char* bytes = source_bytes(source, end - piece, &available);
        if (bytes == nullptr || available < piece) {
            break;
        }
        const std::size_t same = common_suffix(bytes + piece, target - n, piece);
        n += same;
        if (same < piece) {
            break;
        }
    }
    return n;
}

// Copies up to length source bytes from position on; returns how many.
static std::size_t copy_source(SourceCache* source, std::uint64_t position, unsigned char* out,
                               std::size_t length) {
    std::size_t n = 0;
    while (n < length) {
        std::size_t available = 0;
        const unsigned char* bytes = source_bytes(source, position + n, &available);
        if (bytes == nullptr) {
            break;
        }
        const std::size_t piece = available < length - n ? available : length - n;
        std::memcpy(out + n, bytes, piece);
        n += piece;
    }
    return n;
}

void init_matcher(Matcher* matcher, const SourceIndex* index, SourceCache* source,
                  std::uint64_t window_bytes) {
    matcher->index = index;
    matcher->source = source;
    unsigned bits = 10;
    while (bits < 30 && (std::uint64_t{1} << bits) < window_bytes / MATCH_BLOCK) {
        bits++;
    }
    matcher->target_bits = bits;
    matcher->target_slots.clear();
    matcher->target_slots.reserve(std::size_t{1} << bits);
    advise_large_pages(matcher->target_slots.data(),
                       (std::size_t{1} << bits) * sizeof(std::uint32_t));
    matcher->target_slots.assign(std::size_t{1} << bits, 0);
    std::uint32_t mask = 1;
    while (mask < window_bytes / MATCH_BLOCK + 1) {
        mask = mask << 1 | 1;
    }
    matcher->target_number_mask = mask;

    std::memset(matcher->copy_size_in_code, 0, sizeof matcher->copy_size_in_code);
    std::memset(matcher->add_size_in_code, 0, sizeof matcher->add_size_in_code);
    std::memset(matcher->add_copy_pair, 0, sizeof matcher->add_copy_pair);
    for (const CodeTableEntry& e : default_code_table()->entries) {
        const bool copy_second =
            e.second_type >= HALF_COPY && e.second_type < HALF_COPY + DEFAULT_MODES;
        if (e.second_type == HALF_NOOP && e.first_size != 0) {
            if (e.first_type == HALF_ADD) {
                matcher->add_size_in_code[e.first_size] = true;
            } else if (e.first_type >= HALF_COPY && e.first_type < HALF_COPY + DEFAULT_MODES) {
                matcher->copy_size_in_code[e.first_type - HALF_COPY][e.first_size] = true;
            }
        } else if (e.first_type == HALF_ADD && copy_second && e.first_size != 0 &&
                   e.first_size < PAIR_ADD_SIZES && e.second_size != 0 &&
                   e.second_size < PAIR_COPY_SIZES) {
            matcher->add_copy_pair[e.first_size][e.second_type - HALF_COPY][e.second_size] = true;
        }
    }
}

std::size_t copy_cost(const Matcher& matcher, unsigned mode, std::size_t address_bytes,
                      std::uint64_t size, std::uint64_t pending_add) {
    if (pending_add < PAIR_ADD_SIZES && size < PAIR_COPY_SIZES &&
        matcher.add_copy_pair[pending_add][mode][size]) {
        return address_bytes;
    }
    const bool in_code = size < 256 && matcher.copy_size_in_code[mode][size];
    return 1 + (in_code ? 0 : static_cast<std::size_t>(integer_size(size))) + address_bytes;
}

namespace {

struct Candidate {
    VcdiffKind kind; // VCDIFF_ADD: none
    std::uint64_t from;
    bool from_source;
    std::size_t size;
    std::ptrdiff_t saving; // patch bytes saved against adding the bytes
};

// The decoder's NEAR and SAME caches as the planned COPYs fill them, in
// positions instead of window addresses: the differences between source
// positions are the same in both, and so are their classes modulo the SAME
// table's size.
struct AddressMirror {
    std::uint64_t near[DEFAULT_NEAR_SIZE];
    unsigned next;
    std::uint64_t same[DEFAULT_SAME_SIZE * 256];
};

// What one planned COPY changed in the mirror, so that taking the COPY back
// out of the plan gives the mirror back as it was: otherwise every later
// COPY would be priced against addresses the decoder never sees.
struct MirrorUndo {
    std::size_t op;     // the COPY's index in the plan
    unsigned near_slot; // mirror.next before it
    std::uint64_t near; // near[near_slot] before it
    std::uint64_t same; // the SAME entry it replaced
};

// Where the last copy from one side ended, and the bytes that follow it there.
struct Near {
    std::size_t reach_start; // the first position past the copy
    std::size_t reach_end;   // positions below this look near the anchor
    std::uint64_t from;      // source position or window offset after the copied bytes
    bool from_source;
    bool built;
    std::size_t held;    // bytes in bytes[]
    std::size_t indexed; // places below this offset are in first[]
    unsigned char bytes[NEAR_AHEAD + 4];
    std::uint8_t first[std::size_t{1} << NEAR_BITS]; // offset + 1 of the first 4 bytes with a key
};

struct Scan {
    Matcher* matcher;
    const unsigned char* target;
    std::size_t length;
    std::vector<PlannedOp>* plan;
    std::size_t add_start; // first byte not yet covered by an op
    AddressMirror mirror;
    std::vector<MirrorUndo> undo;
    std::size_t undo_trim_at; // undo's size at which it is next trimmed
    // By side, target then source: a translated line often takes a word
    // from earlier in the new text and then goes on in the old one, so a
    // copy from one side must not lose the other side's place.
    Near near[2];
};

std::size_t target_slot(const Matcher& matcher, std::uint64_t hash) {
    return static_cast<std::size_t>(mix_hash(hash) >> (64 - matcher.target_bits));
}

unsigned near_key(const unsigned char* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return (word * 2654435761u) >> (32 - NEAR_BITS);
}

// The cheapest mode for a COPY from this position (mirror coordinates) at
// window offset at, and what its address costs. SELF is priced at the
// position itself, which the window's source segment can only make smaller.
unsigned cheapest_mode(const AddressMirror& mirror, std::uint64_t address, std::uint64_t at,
                       std::size_t* bytes) {
    unsigned mode = MODE_SELF;
    std::size_t best;
    if (address >= TARGET_SPACE) {
        mode = MODE_HERE;
        best = static_cast<std::size_t>(integer_size(at - (address - TARGET_SPACE)));
    } else {
        best = static_cast<std::size_t>(integer_size(address));
    }
    for (unsigned k = 0; k < DEFAULT_NEAR_SIZE; k++) {
        if (address >= mirror.near[k]) {
            const std::size_t cost =
                static_cast<std::size_t>(integer_size(address - mirror.near[k]));
            if (cost < best) {
                best = cost;
                mode = 2 + k;
            }
        }
    }
    if (best > 1 && mirror.same[address % (DEFAULT_SAME_SIZE * 256)] == address) {
        best = 1;
        mode = static_cast<unsigned>(2 + DEFAULT_NEAR_SIZE +
                                     address % (DEFAULT_SAME_SIZE * 256) / 256);
    }
    *bytes = best;
    return mode;
}

// What a COPY of size bytes from there saves at p, against adding them. The
// ADD that follows it needs a code of its own: one byte more.
std::ptrdiff_t copy_saving(const Scan& scan, std::uint64_t from, bool from_source, std::size_t p,
                           std::size_t size) {
    std::size_t address_bytes = 0;
    const std::uint64_t address = from_source ? from : TARGET_SPACE + from;
    const unsigned mode = cheapest_mode(scan.mirror, address, p, &address_bytes);
    const std::size_t cost =
        copy_cost(*scan.matcher, mode, address_bytes, size, p - scan.add_start) + 1;
    return static_cast<std::ptrdiff_t>(size) - static_cast<std::ptrdiff_t>(cost);
}

void consider(Candidate* best, const Candidate& candidate) {
    if (candidate.size >= SHORTEST_COPY && candidate.saving > 0 &&
        candidate.saving > best->saving) {
        *best = candidate;
    }
}

// Returns false when op went on from the last op and became part of it.
bool push_op(std::vector<PlannedOp>* plan, const PlannedOp& op) {
    if (!plan->empty()) {
        PlannedOp& last = plan->back();
        const bool follows = last.at + last.size == op.at;
        // A copy that goes on where the previous one stopped, from the same
        // side, reads as one.
        if (follows && op.kind == VCDIFF_COPY && last.kind == VCDIFF_COPY &&
            last.from_source == op.from_source && last.from + last.size == op.from) {
            last.size += op.size;
            return false;
        }
        if (follows && op.kind == VCDIFF_ADD && last.kind == VCDIFF_ADD) {
            last.size += op.size;
            return false;
        }
    }
    plan->push_back(op);
    return true;
}

// Enters the window's blocks in [begin, end) into its own index. Blocks under
// short matches go in as unmatched ones do: a later stretch may repeat them
// with the bytes around, which one long copy then takes whole.
void index_target_blocks(Scan* scan, std::size_t begin, std::size_t end) {
    Matcher* matcher = scan->matcher;
    const std::uint32_t mask = matcher->target_number_mask;
    for (std::size_t q = (begin + MATCH_BLOCK - 1) / MATCH_BLOCK * MATCH_BLOCK;
         q + MATCH_BLOCK <= end; q += MATCH_BLOCK) {
        const std::uint64_t hash = hash_block(scan->target + q);
        const std::uint32_t check = static_cast<std::uint32_t>(mix_hash(hash)) & ~mask;
        matcher->target_slots[target_slot(*matcher, hash)] =
            check | static_cast<std::uint32_t>(q / MATCH_BLOCK + 1);
    }
}

// Gives the mirror back as it was before the COPYs no longer in the plan,
// newest first.
void undo_mirror(Scan* scan) {
    AddressMirror* mirror = &scan->mirror;
    while (!scan->undo.empty() && scan->undo.back().op >= scan->plan->size()) {
        const MirrorUndo& undo = scan->undo.back();
        const std::uint64_t address = mirror->near[undo.near_slot];
        mirror->same[address % (DEFAULT_SAME_SIZE * 256)] = undo.same;
        mirror->near[undo.near_slot] = undo.near;
        mirror->next = undo.near_slot;
        scan->undo.pop_back();
    }
}

// Forgets the undo of COPYs that start farther back than any backward
// extension reaches, which no later match can take out of the plan: without
// this a window of short copies would keep one for each.
void trim_undo(Scan* scan) {
    const std::size_t reach =
        scan->add_start > LONGEST_BACKWARD ? scan->add_start - LONGEST_BACKWARD : 0;
    std::size_t dead = 0;
    while (dead < scan->undo.size() && (*scan->plan)[scan->undo[dead].op].at < reach) {
        dead++;
    }
    scan->undo.erase(scan->undo.begin(), scan->undo.begin() + static_cast<std::ptrdiff_t>(dead));
    scan->undo_trim_at = 2 * scan->undo.size() + 4096;
}

// Extends the chosen match backwards, takes the bytes it covers away from
// the pending ADD and from earlier ops, and records it. Returns the position
// after it.
std::size_t commit(Scan* scan, std::size_t p, Candidate best) {
    const unsigned char* t = scan->target;
    std::size_t limit = p < LONGEST_BACKWARD ? p : LONGEST_BACKWARD;
    std::size_t back = 0;
    switch (best.kind) {
    case VCDIFF_RUN:
        while (back < limit && t[p - back - 1] == t[p]) {
            back++;
        }
        break;
    case VCDIFF_COPY:
        if (best.from < limit) {
            limit = static_cast<std::size_t>(best.from);
        }
        back = best.from_source ? source_backward(scan->matcher->source, best.from, t + p, limit)
                                : common_suffix(t + best.from, t + p, limit);
        break;
    case VCDIFF_ADD:
        break;
    }
    const std::size_t start = p - back;
    std::vector<PlannedOp>* plan = scan->plan;
    if (start >= scan->add_start) {
        if (start > scan->add_start) {
            push_op(plan,
                    PlannedOp{VCDIFF_ADD, scan->add_start, start - scan->add_start, 0, false});
        }
    } else {
        while (!plan->empty() && plan->back().at >= start) {
            plan->pop_back();
        }
        if (!plan->empty() && plan->back().at + plan->back().size > start) {
            PlannedOp& cut = plan->back();
            cut.size = start - cut.at;
            // What is left of a copy or run cut short may now cost more than
            // its bytes: they are added instead.
            if (cut.kind != VCDIFF_ADD && cut.size < SHORTEST_KEPT) {
                const PlannedOp added = {VCDIFF_ADD, cut.at, cut.size, 0, false};
                plan->pop_back();
                undo_mirror(scan);
                push_op(plan, added);
            }
        }
        undo_mirror(scan);
    }
    if (back + best.size < SHORT_MATCH) {
        index_target_blocks(scan, start, p + best.size);
    }
    const std::uint64_t from = best.kind == VCDIFF_COPY ? best.from - back : 0;
    const bool pushed =
        push_op(plan, PlannedOp{best.kind, start, back + best.size, from, best.from_source});
    scan->add_start = p + best.size;
    if (best.kind == VCDIFF_COPY) {
        if (pushed) {
            const std::uint64_t address = best.from_source ? from : TARGET_SPACE + from;
            AddressMirror* mirror = &scan->mirror;
            std::uint64_t* same = &mirror->same[address % (DEFAULT_SAME_SIZE * 256)];
            scan->undo.push_back(
                MirrorUndo{plan->size() - 1, mirror->next, mirror->near[mirror->next], *same});
            mirror->near[mirror->next] = address;
            mirror->next = (mirror->next + 1) % DEFAULT_NEAR_SIZE;
            *same = address;
            if (scan->undo.size() >= scan->undo_trim_at) {
                trim_undo(scan);
            }
        }
        Near* near = &scan->near[best.from_source];
        near->reach_start = scan->add_start;
        near->reach_end = scan->add_start + NEAR_REACH;
        near->from = best.from + best.size;
        near->from_source = best.from_source;
        near->built = false;
    }
    return scan->add_start;
}

// Fetches the NEAR_AHEAD bytes after the anchor, none of them indexed yet.
void build_near(Scan* scan, Near* near) {
    near->built = true;
    near->indexed = 0;
    near->held = 0;
    if (near->from_source) {
        near->held =
            copy_source(scan->matcher->source, near->from, near->bytes, sizeof near->bytes);
    } else if (near->from < scan->length) {
        const std::size_t left = scan->length - static_cast<std::size_t>(near->from);
        near->held = left < sizeof near->bytes ? left : sizeof near->bytes;
        std::memcpy(near->bytes, scan->target + near->from, near->held);
    }
    std::memset(near->first, 0, sizeof near->first);
}

// Indexes the first 4 bytes of the places before offset end; of equal keys
// the nearest place stays.
void index_near(Near* near, std::size_t end) {
    const std::size_t places = near->held < 4 ? 0 : near->held - 3;
    end = end < places ? end : places;
    for (std::size_t j = near->indexed; j < end; j++) {
        std::uint8_t* entry = &near->first[near_key(near->bytes + j)];
        if (*entry == 0) {
            *entry = static_cast<std::uint8_t>(j + 1);
        }
    }
    near->indexed = end > near->indexed ? end : near->indexed;
}

// The match near the end of the last copy from near's side for the bytes at
// p, if any.
void find_near(Scan* scan, Near* near, std::size_t p, Candidate* best) {
    if (!near->built) {
        build_near(scan, near);
    }
    index_near(near, p - near->reach_start + NEAR_LEAD);
    const unsigned char* t = scan->target + p;
    const std::uint8_t entry = near->first[near_key(t)];
    if (entry == 0 || std::memcmp(near->bytes + entry - 1, t, 4) != 0) {
        return;
    }
    const std::uint64_t from = near->from + entry - 1;
    const std::size_t left = scan->length - p;
    std::size_t n = 0;
    if (near->from_source) {
        n = source_forward(scan->matcher->source, from, t, left);
    } else if (from < p) {
        n = common_prefix(scan->target + from, t, left);
    }
    if (n >= SHORTEST_NEAR) {
        consider(best, Candidate{VCDIFF_COPY, from, near->from_source, n,
                                 copy_saving(*scan, from, near->from_source, p, n)});
    }
}

// The near matches on both sides for the bytes at p, if any.
void find_near_both(Scan* scan, std::size_t p, Candidate* best) {
    for (Near& near : scan->near) {
        if (p < near.reach_end) {
            find_near(scan, &near, p, best);
        }
    }
}

} // namespace

void plan_window(Matcher* matcher, const unsigned char* target, std::size_t length,
                 std::vector<PlannedOp>* plan) {
    plan->clear();
    std::fill(matcher->target_slots.begin(), matcher->target_slots.end(), 0);
    Scan scan = {};
    scan.matcher = matcher;
    scan.target = target;
    scan.length = length;
    scan.plan = plan;
    scan.undo_trim_at = 4096;
    const SourceIndex& index = *matcher->index;

    // Hashes run LOOKAHEAD positions ahead of the scan, and the source
    // index slot of each is fetched as soon as it is known: lookups in a
    // table far larger than the caches then overlap instead of queueing.
    std::uint64_t hashes[LOOKAHEAD];
    std::size_t hashed_end = 0; // positions below this are in hashes
    std::uint64_t ahead = 0;    // hash at hashed_end - 1
    std::size_t p = 0;
    while (p + MATCH_BLOCK <= length) {
        if (hashed_end <= p) {
            ahead = hash_block(target + p);
            hashes[p % LOOKAHEAD] = ahead;
            prefetch_source_slot(index, ahead);
            hashed_end = p + 1;
        }
        while (hashed_end < p + LOOKAHEAD && hashed_end + MATCH_BLOCK <= length) {
            ahead = roll_hash(ahead, target[hashed_end - 1], target[hashed_end - 1 + MATCH_BLOCK]);
            hashes[hashed_end % LOOKAHEAD] = ahead;
            prefetch_source_slot(index, ahead);
            __builtin_prefetch(&matcher->target_slots[target_slot(*matcher, ahead)]);
            hashed_end++;
        }
        const std::uint64_t hash = hashes[p % LOOKAHEAD];
        Candidate best = {VCDIFF_ADD, 0, false, 0, 0};
        const std::size_t left = length - p;

        const std::uint64_t word = load_word(target + p);
        if (word == target[p] * 0x0101010101010101u) {
            std::size_t run = 8;
            while (run < left && target[p + run] == target[p]) {
                run++;
            }
            if (run >= SHORTEST_RUN) {
                const std::size_t cost = 2 + static_cast<std::size_t>(integer_size(run)) + 1;
                best =
                    Candidate{VCDIFF_RUN, 0, false, run,
                              static_cast<std::ptrdiff_t>(run) - static_cast<std::ptrdiff_t>(cost)};
            }
        }
        std::uint64_t position = 0;
        if (find_source_block(index, hash, &position)) {
            const std::size_t n = source_forward(matcher->source, position, target + p, left);
            consider(&best, Candidate{VCDIFF_COPY, position, true, n,
                                      copy_saving(scan, position, true, p, n)});
        }
        const std::size_t slot = target_slot(*matcher, hash);
        const std::uint32_t entry = matcher->target_slots[slot];
        const std::uint32_t mask = matcher->target_number_mask;
        const std::uint32_t check = static_cast<std::uint32_t>(mix_hash(hash)) & ~mask;
        if (entry != 0 && (entry & ~mask) == check) {
            // Overlapping the bytes it produces is fine: the decoder copies
            // in order, so equal contents are all that counts.
            const std::size_t q = std::size_t{(entry & mask) - 1} * MATCH_BLOCK;
            const std::size_t n = common_prefix(target + q, target + p, left);
            consider(&best, Candidate{VCDIFF_COPY, q, false, n, copy_saving(scan, q, false, p, n)});
        }
        find_near_both(&scan, p, &best);

        if (best.size != 0) {
            p = commit(&scan, p, best);
            continue;
        }
        // Only blocks that matched nothing are indexed: what came from the
        // source is found in the source again.
        if (p % MATCH_BLOCK == 0) {
            matcher->target_slots[slot] = check | static_cast<std::uint32_t>(p / MATCH_BLOCK + 1);
        }
        p++;
    }
    // The last bytes, too few to hash, may still go on from the last copy.
    while (p + SHORTEST_NEAR <= length &&
           (p < scan.near[0].reach_end || p < scan.near[1].reach_end)) {
        Candidate best = {VCDIFF_ADD, 0, false, 0, 0};
        find_near_both(&scan, p, &best);
        p = best.size != 0 ? commit(&scan, p, best) : p + 1;
    }
    if (scan.add_start < length) {
        push_op(plan, PlannedOp{VCDIFF_ADD, scan.add_start, length - scan.add_start, 0, false});
    }
}
