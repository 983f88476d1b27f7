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

// Sizes are printed as signed numbers at full width, never truncated to 32
// bits: the largest request reads -1.
TEST(CheckedAllocatorsDeathTest, ImpossibleSizeIsPrintedAsMinusOne) {
    EXPECT_EXIT(
        {
            cmdkit_heap.malloc_fn = refusing_malloc;
            xmalloc(SIZE_MAX);
        },
        testing::ExitedWithCode(1), "^malloc\\(-1\\) failed in cmdkit at line 36\n$");
    EXPECT_EXIT(
        {
            cmdkit_heap.realloc_fn = refusing_realloc;
            xrealloc(nullptr, static_cast<size_t>(1) << 40);
        },
        testing::ExitedWithCode(1), "^realloc\\(1099511627776\\) failed in cmdkit at line 46\n$");
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
