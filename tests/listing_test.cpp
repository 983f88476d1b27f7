#include "cmdline.h"
#include "support/pipeline.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::make_pipeline;

std::string listing(char ***list, const char *input, const char *output, const char *errput) {
    testing::internal::CaptureStdout();
    print_pipeline(list, input, output, errput);
    return testing::internal::GetCapturedStdout();
}

TEST(Listing, EveryArgumentIsFollowedByASpace) {
    char ***list = make_pipeline({{"foo", "a", "b"}});
    EXPECT_EQ(listing(list, nullptr, nullptr, nullptr), "cmd[0] = foo a b \n"
                                                        "input = <stdin>\n"
                                                        "output = <stdout>\n"
                                                        "errput = <stderr>\n");
    free_pipeline(list);
}

TEST(Listing, CommandsAreNumberedAndTargetsShown) {
    char ***list = make_pipeline({{"filter", "1"}, {"filter", "2"}});
    EXPECT_EQ(listing(list, "a", "b", "e"), "cmd[0] = filter 1 \n"
                                            "cmd[1] = filter 2 \n"
                                            "input = a\n"
                                            "output = b\n"
                                            "errput = e\n");
    free_pipeline(list);
}

// Arguments are data: a `%` in them must be printed, never interpreted.
TEST(Listing, PercentSignsInArgumentsArePrintedAsText) {
    char ***list = make_pipeline({{"%s%n", "%d"}});
    EXPECT_EQ(listing(list, "%x", nullptr, nullptr), "cmd[0] = %s%n %d \n"
                                                     "input = %x\n"
                                                     "output = <stdout>\n"
                                                     "errput = <stderr>\n");
    free_pipeline(list);
}

TEST(Listing, NullListPrintsOnlyTheStreams) {
    EXPECT_EQ(listing(nullptr, nullptr, nullptr, nullptr),
              "input = <stdin>\noutput = <stdout>\nerrput = <stderr>\n");
    // A nameless vector, which a list built by hand can hold, is read no further.
    char *empty[] = {nullptr};
    char **list[] = {empty, nullptr};
    EXPECT_EQ(listing(list, nullptr, nullptr, nullptr).substr(0, 15), "cmd[0] = \ninput");
}

} // namespace
