#include "alloc_seam.h"
#include "cmdkit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

struct owned {
    char *text;
    explicit owned(char *t) : text(t) {}
    ~owned() { std::free(text); }
};

TEST(Joining, PiecesAreJoinedInOrderIntoFreshStrings) {
    owned two(concat2("ab", "cd"));
    owned three(concat3("a", "", "c"));
    owned many(concatn("x", "y", "", "z", static_cast<char *>(nullptr)));
    EXPECT_STREQ(two.text, "abcd");
    EXPECT_STREQ(three.text, "ac");
    EXPECT_STREQ(many.text, "xyz");
}

TEST(Joining, EmptyPiecesGiveAFreshEmptyString) {
    const char *empty = "";
    owned joined(concat3(empty, empty, empty));
    ASSERT_NE(joined.text, nullptr);
    EXPECT_NE(joined.text, empty);
    EXPECT_STREQ(joined.text, "");
}

TEST(Joining, ConcatnWithOnlyAFirstPieceCopiesIt) {
    const char *first = "alone";
    owned copy(concatn(first, static_cast<char *>(nullptr)));
    EXPECT_NE(copy.text, first);
    EXPECT_STREQ(copy.text, "alone");
}

// The lookup relies on this to turn an unset COMSPEC into a null result.
TEST(Joining, ConcatnWithANullFirstPieceIsNullWhateverFollows) {
    EXPECT_EQ(concatn(nullptr, "b", "c", static_cast<char *>(nullptr)), nullptr);
}

TEST(Joining, NullPiecesOfConcat2And3CountAsEmpty) {
    owned two(concat2(nullptr, "b"));
    owned three(concat3("a", nullptr, nullptr));
    EXPECT_STREQ(two.text, "b");
    EXPECT_STREQ(three.text, "a");
}

TEST(CheckedAllocators, ZeroByteRequestsAreServedNotReportedAsFailures) {
    void *block = xmalloc(0);
    ASSERT_NE(block, nullptr);
    block = xrealloc(block, 0);
    ASSERT_NE(block, nullptr);
    std::free(block);
}

TEST(CheckedAllocators, ReallocOfNullIsAFreshUsableBlock) {
    auto *block = static_cast<unsigned char *>(xrealloc(nullptr, 8));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xAB, 8);
    block = static_cast<unsigned char *>(xrealloc(block, 4096));
    EXPECT_EQ(block[7], 0xAB);
    std::free(block);
}

TEST(CheckedAllocators, StrdupCopiesAndPassesNullOn) {
    const char *text = "copy me";
    owned copy(xstrdup(text));
    EXPECT_NE(copy.text, text);
    EXPECT_STREQ(copy.text, text);
    EXPECT_EQ(xstrdup(nullptr), nullptr);
}

void *refusing_malloc(size_t) {
    return nullptr;
}
void *refusing_realloc(void *, size_t) {
    return nullptr;
}
char *refusing_strdup(const char *) {
    return nullptr;
}

std::string hex_address(const void *address) {
    std::ostringstream out;
    out << std::hex << reinterpret_cast<std::uintptr_t>(address);
    return out.str();
}

TEST(CheckedAllocatorsDeathTest, FailingMallocNamesTheSizeAndExitsWithOne) {
    EXPECT_EXIT(
        {
            cmdkit_heap.malloc_fn = refusing_malloc;
            xmalloc(100);
        },
        testing::ExitedWithCode(1), "^malloc\\(100\\) failed in cmdkit at line 36\n$");
}

TEST(CheckedAllocatorsDeathTest, FailingReallocNamesTheNewSize) {
    EXPECT_EXIT(
        {
            cmdkit_heap.realloc_fn = refusing_realloc;
            xrealloc(nullptr, 24);
        },
        testing::ExitedWithCode(1), "^realloc\\(24\\) failed in cmdkit at line 46\n$");
}

TEST(CheckedAllocatorsDeathTest, FailingStrdupNamesTheAddressInHex) {
    static const char text[] = "source";
    const std::string expected =
        "^strdup\\(" + hex_address(text) + "\\) failed in cmdkit at line 26\n$";
    EXPECT_EXIT(
        {
            cmdkit_heap.strdup_fn = refusing_strdup;
            xstrdup(text);
        },
        testing::ExitedWithCode(1), expected.c_str());
}

// Sizes are printed as the signed integer of the pointer's width, never
// cut to 32 bits nor widened past them: the largest request reads -1 on
// every build, the sign bit alone is the most negative value, and the
// largest size below it prints as itself.
TEST(CheckedAllocatorsDeathTest, SizesArePrintedAsSignedIntegersOfPointerWidth) {
    const size_t sign_bit = SIZE_MAX / 2 + 1;
    const struct {
        size_t size;
        std::string printed;
    } rows[] = {
        {SIZE_MAX, "-1"},
        {sign_bit, std::to_string(INTPTR_MIN)},
        {sign_bit - 1, std::to_string(INTPTR_MAX)},
    };
    for (const auto &row : rows) {
        EXPECT_EXIT(
            {
                cmdkit_heap.malloc_fn = refusing_malloc;
                xmalloc(row.size);
            },
            testing::ExitedWithCode(1),
            "^malloc\\(" + row.printed + "\\) failed in cmdkit at line 36\n$");
    }
    EXPECT_EXIT(
        {
            cmdkit_heap.realloc_fn = refusing_realloc;
            xrealloc(nullptr, SIZE_MAX);
        },
        testing::ExitedWithCode(1), "^realloc\\(-1\\) failed in cmdkit at line 46\n$");
}

// Joined strings take the checked path too: the total plus the terminator.
TEST(CheckedAllocatorsDeathTest, JoiningAllocatesThroughTheCheckedPath) {
    EXPECT_EXIT(
        {
            cmdkit_heap.malloc_fn = refusing_malloc;
            concat2("a", "b");
        },
        testing::ExitedWithCode(1), "^malloc\\(3\\) failed in cmdkit at line 36\n$");
}

} // namespace
