#include "tools/make_patch/match.h"

#include <algorithm>
#include <cstring>

// One byte repeated this often becomes a RUN: three bytes of instruction
// against as many of data, and the ADDs around it stay whole below this.
static constexpr std::size_t SHORTEST_RUN = 8;

// Backward extension over earlier instructions stops this far back, which
// bounds the work when long stretches match again and again.
static constexpr std::size_t LOOKAHEAD = 16;

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
    // A candidate is checked with a short read (most of those that the
    // check bits let through are other blocks); only a real match reads on
    // in large pieces.
    std::size_t want = MATCH_BLOCK;
    while (n < limit) {
        std::size_t available = 0;
        const unsigned char* bytes = source_bytes(source, position + n, want, &available);
        if (bytes == nullptr) {
            break;
        }
        const std::size_t span = available < limit - n ? available : limit - n;
        const std::size_t same = common_prefix(bytes, target + n, span);
        n += same;
        if (same < span) {
            break;
        }
        // Only as much as the target can still match: reading a whole
        // buffer for every copy would read the source several times over.
        want = limit - n;
    }
    return n;
}

// Bytes before target that equal those before the source position, at most
// limit.
static std::size_t source_backward(SourceCache* source, std::uint64_t position,
                                   const unsigned char* target, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit) {
        std::size_t piece = limit - n < 65536 ? limit - n : 65536;
        std::size_t available = 0;
        const unsigned char* bytes = source_bytes(source, position - n - piece, piece, &available);
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

void init_matcher(Matcher* matcher, const SourceIndex* index, SourceCache* source,
                  std::uint64_t window_bytes) {
    matcher->index = index;
    matcher->source = source;
    unsigned bits = 10;
    while (bits < 30 && (std::uint64_t{1} << bits) < window_bytes / MATCH_BLOCK) {
        bits++;
    }
    matcher->target_bits = bits;
    matcher->target_slots.assign(std::size_t{1} << bits, 0);
    std::uint32_t mask = 1;
    while (mask < window_bytes / MATCH_BLOCK + 1) {
        mask = mask << 1 | 1;
    }
    matcher->target_number_mask = mask;
}

namespace {

struct Candidate {
    VcdiffKind kind; // VCDIFF_ADD: none
    std::uint64_t from;
    bool from_source;
    std::size_t size;
};

struct Scan {
    Matcher* matcher;
    const unsigned char* target;
    std::size_t length;
    std::vector<PlannedOp>* plan;
    std::size_t add_start; // first byte not yet covered by an op
};

std::size_t target_slot(const Matcher& matcher, std::uint64_t hash) {
    return static_cast<std::size_t>(mix_hash(hash) >> (64 - matcher.target_bits));
}

void push_op(std::vector<PlannedOp>* plan, const PlannedOp& op) {
    if (!plan->empty()) {
        PlannedOp& last = plan->back();
        const bool follows = last.at + last.size == op.at;
        // A copy that goes on where the previous one stopped, from the same
        // side, reads as one.
        if (follows && op.kind == VCDIFF_COPY && last.kind == VCDIFF_COPY &&
            last.from_source == op.from_source && last.from + last.size == op.from) {
            last.size += op.size;
            return;
        }
        if (follows && op.kind == VCDIFF_ADD && last.kind == VCDIFF_ADD) {
            last.size += op.size;
            return;
        }
    }
    plan->push_back(op);
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
            plan->back().size = start - plan->back().at;
        }
    }
    const std::uint64_t from = best.kind == VCDIFF_COPY ? best.from - back : 0;
    push_op(plan, PlannedOp{best.kind, start, back + best.size, from, best.from_source});
    scan->add_start = p + best.size;
    return scan->add_start;
}

} // namespace

void plan_window(Matcher* matcher, const unsigned char* target, std::size_t length,
                 std::vector<PlannedOp>* plan) {
    plan->clear();
    std::fill(matcher->target_slots.begin(), matcher->target_slots.end(), 0);
    Scan scan = {matcher, target, length, plan, 0};
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
        Candidate best = {VCDIFF_ADD, 0, false, 0};
        const std::size_t left = length - p;

        const std::uint64_t word = load_word(target + p);
        if (word == target[p] * 0x0101010101010101u) {
            std::size_t run = 8;
            while (run < left && target[p + run] == target[p]) {
                run++;
            }
            if (run >= SHORTEST_RUN) {
                best = Candidate{VCDIFF_RUN, 0, false, run};
            }
        }
        std::uint64_t position = 0;
        if (find_source_block(index, hash, &position)) {
            const std::size_t n = source_forward(matcher->source, position, target + p, left);
            if (n >= MATCH_BLOCK && n > best.size) {
                best = Candidate{VCDIFF_COPY, position, true, n};
            }
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
            if (n >= MATCH_BLOCK && n > best.size) {
                best = Candidate{VCDIFF_COPY, q, false, n};
            }
        }

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
    if (scan.add_start < length) {
        push_op(plan, PlannedOp{VCDIFF_ADD, scan.add_start, length - scan.add_start, 0, false});
    }
}
