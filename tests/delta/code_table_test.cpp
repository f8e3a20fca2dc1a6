// The default code table, the NEAR/SAME cache and the section integer reader.

#include "delta/code_table.h"
#include "delta/stream.h"

#include <gtest/gtest.h>

namespace {

TEST(CodeTable, MatchesTheRfcLayout) {
    struct Row {
        int code;
        CodeTableEntry entry;
    };
    const unsigned char C = HALF_COPY;
    const Row rows[] = {
        {0, {HALF_RUN, 0, 0, 0}},
        {1, {HALF_ADD, 0, 0, 0}},
        {2, {HALF_ADD, 1, 0, 0}},
        {18, {HALF_ADD, 17, 0, 0}},
        {19, {C, 0, 0, 0}},
        {20, {C, 4, 0, 0}},
        {34, {C, 18, 0, 0}},
        {35, {C + 1, 0, 0, 0}},
        {147, {C + 8, 0, 0, 0}},
        {162, {C + 8, 18, 0, 0}},
        {163, {HALF_ADD, 1, C, 4}},
        {165, {HALF_ADD, 1, C, 6}},
        {174, {HALF_ADD, 4, C, 6}},
        {175, {HALF_ADD, 1, C + 1, 4}},
        {234, {HALF_ADD, 4, C + 5, 6}},
        {235, {HALF_ADD, 1, C + 6, 4}},
        {238, {HALF_ADD, 4, C + 6, 4}},
        {246, {HALF_ADD, 4, C + 8, 4}},
        {247, {C, 4, HALF_ADD, 1}},
        {255, {C + 8, 4, HALF_ADD, 1}},
    };
    const CodeTable* table = default_code_table();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        const CodeTableEntry& e = table->entries[row.code];
        EXPECT_EQ(e.first_type, row.entry.first_type);
        EXPECT_EQ(e.first_size, row.entry.first_size);
        EXPECT_EQ(e.second_type, row.entry.second_type);
        EXPECT_EQ(e.second_size, row.entry.second_size);
    }
    EXPECT_EQ(default_code_table(), table);
}

TEST(CodeTable, OversizedDescriptionStopsAtTheLastCode) {
    const CodeTableDesc big = {100, 4, 3, 100, 4, 6, 4, 1, 4, 4};
    CodeTable table;
    build_code_table(&big, &table);
    // 102 ADD codes, 101 for mode 0, and mode 1 up to size 55 fill the table.
    EXPECT_EQ(table.entries[255].first_type, HALF_COPY + 1);
    EXPECT_EQ(table.entries[255].first_size, 55);
}

struct CacheFixture : testing::Test {
    usize_t near_slots[4] = {};
    usize_t same_slots[768] = {};
    DeltaStream stream = {};

    void SetUp() override {
        stream.address_cache = AddressCache{4, 3, 0, near_slots, same_slots};
        reset_address_cache(&stream.address_cache);
    }

    // Decodes one address from the given bytes; returns the status.
    std::int32_t decode(std::initializer_list<unsigned char> bytes, usize_t here, usize_t mode,
                        usize_t* address) {
        buffer.assign(bytes);
        const unsigned char* cursor = buffer.data();
        return decode_address(&stream, here, mode, &cursor, buffer.data() + buffer.size(), address);
    }

    std::vector<unsigned char> buffer;
};

TEST_F(CacheFixture, NearSlotsRotateAndSameSlotsKeyOnTheFullAddress) {
    usize_t address = 1;
    ASSERT_EQ(decode({200}, 1000, 8, &address), 0); // SAME 2: nothing cached yet
    EXPECT_EQ(address, 0u);
    ASSERT_EQ(decode({9}, 1000, 5, &address), 0); // NEAR 3: slots start at 0
    EXPECT_EQ(address, 9u);
    reset_address_cache(&stream.address_cache);

    for (unsigned char v : {10, 20, 30, 40, 50}) {
        ASSERT_EQ(decode({v}, 1000, MODE_SELF, &address), 0);
    }
    EXPECT_EQ(near_slots[0], 50u);
    EXPECT_EQ(near_slots[1], 20u);
    EXPECT_EQ(stream.address_cache.next_slot, 1u);
    ASSERT_EQ(decode({7}, 1000, 3, &address), 0); // NEAR 1: 20 + 7
    EXPECT_EQ(address, 27u);

    ASSERT_EQ(decode({5}, 1000, MODE_SELF, &address), 0);
    ASSERT_EQ(decode({0x86, 0x05}, 1000, MODE_SELF, &address), 0); // 773 = 5 + 768
    ASSERT_EQ(decode({5}, 1000, 6, &address), 0);                  // SAME 0, byte 5
    EXPECT_EQ(address, 773u);

    reset_address_cache(&stream.address_cache);
    EXPECT_EQ(near_slots[0], 0u);
    EXPECT_EQ(same_slots[5], 0u);
    EXPECT_EQ(stream.address_cache.next_slot, 0u);
}

TEST_F(CacheFixture, FailuresLeaveCursorAndCacheAlone) {
    struct Row {
        usize_t mode;
        std::vector<unsigned char> bytes;
        const char* message;
    };
    const Row rows[] = {
        {MODE_SELF, {}, "end-of-input in read_integer"},
        {MODE_SELF, {0x85, 0x80}, "end-of-input in read_integer"},
        // 2^57 after nine bytes: the tenth cannot be taken.
        {MODE_SELF,
         {0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
         "overflow in read_intger"},
        {6, {}, "address underflow"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        SetUp();
        const unsigned char* cursor = row.bytes.data();
        usize_t address = 77;
        EXPECT_EQ(decode_address(&stream, 1000, row.mode, &cursor,
                                 row.bytes.data() + row.bytes.size(), &address),
                  DECODE_INVALID_INPUT);
        EXPECT_STREQ(stream.message, row.message);
        EXPECT_EQ(cursor, row.bytes.data());
        EXPECT_EQ(address, 77u);
        EXPECT_EQ(stream.address_cache.next_slot, 0u);
    }
}

TEST(ReadInteger, TenByteValues) {
    DeltaStream stream = {};
    // Nine bytes worth 2^57 - 1, then a tenth: 2^64 - 1.
    const unsigned char max[] = {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    const unsigned char* cursor = max;
    usize_t value = 0;
    EXPECT_EQ(read_integer(&stream, &cursor, max + 10, &value), 0);
    EXPECT_EQ(value, ~usize_t{0});
    EXPECT_EQ(cursor, max + 10);

    const unsigned char zeros[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                   0x80, 0x80, 0x80, 0x80, 0x80, 0x05, 0x99};
    cursor = zeros;
    EXPECT_EQ(read_integer(&stream, &cursor, zeros + sizeof zeros, &value), 0);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(cursor, zeros + 13);
}

} // namespace
