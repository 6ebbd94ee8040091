// The listing parser on its own: heading lines, line lengths, the name
// column, the caller's own session, and bytes that end the text.
#include <string.h>

#include <optional>
#include <string>
#include <vector>

#include "daemon/velor/finger.h"
#include "tests/velor_count/support.h"

namespace {

using velor_test::listing_heading;
using velor_test::session_line;

const std::string head = listing_heading();
const std::string long_nas = "nas-" + std::string(36, 'n'); // 40 characters

struct listing_case {
    const char *name;
    std::string listing;
    std::string user, port;           // the caller
    std::string caller_nas, queried;  // caller's NAS, NAS whose listing this is
    int expected;
    // Debug lines expected with DEBUG_LIMIT_FLAG set, when given.
    std::optional<std::vector<std::string>> debug_lines = std::nullopt;
};

void PrintTo(const listing_case &c, std::ostream *os) { *os << c.name; }

class Listing : public zat_test::HostFixture, public ::testing::WithParamInterface<listing_case> {
protected:
    int parse(const listing_case &c)
    {
        // An exact-size copy: nothing after the listing's last byte may be read.
        std::vector<char> bytes(c.listing.begin(), c.listing.end());
        user_ident id = {c.user.c_str(), c.caller_nas.c_str(), c.port.c_str(), ""};
        return zat_velor::parse_listing(bytes.data(), static_cast<int>(bytes.size()), c.queried.c_str(), &id);
    }
};

TEST_P(Listing, CountsTheUsersLines)
{
    const listing_case &c = GetParam();
    EXPECT_EQ(c.expected, parse(c));
    EXPECT_TRUE(zat_test::reports().empty()) << "no message without the debug flag";

    debug = DEBUG_LIMIT_FLAG;
    EXPECT_EQ(c.expected, parse(c));
    if (c.debug_lines) {
        std::vector<std::string> texts;
        for (const auto &r : zat_test::reports()) {
            EXPECT_EQ(7, r.first) << r.second;
            texts.push_back(r.second);
        }
        EXPECT_EQ(*c.debug_lines, texts);
    }
}

const std::string line13 = "  5 tty 5    ";  // 13 characters, the name column empty
const std::string bare_line = std::string("x") + std::string(12, ' ') + "\n"; // 14 with its newline

const listing_case listing_cases[] = {
    {"Empty", "", "joe", "tty5", "nas1", "nas1", 0},
    {"OneLineOnly", session_line(1, "joe"), "joe", "tty5", "nas1", "nas1", 0},
    {"TwoLinesOnly", session_line(1, "joe") + session_line(2, "joe"), "joe", "tty5", "nas1", "nas1", 0},
    {"HeadingOnly", head, "joe", "tty5", "nas1", "nas1", 0},
    {"OneSession", head + session_line(3, "joe"), "joe", "tty5", "nas1", "nas1", 1,
     std::vector<std::string>{"joe matches: " + session_line(3, "joe")}},
    {"ThirteenPlusNewlineIsLongEnough", head + line13 + "\n", "joe", "tty5", "nas1", "nas1", 0,
     std::vector<std::string>{"joe session on nas1/tty5 discounted"}},
    {"TwelvePlusNewlineIsSkipped", head + line13.substr(0, 12) + "\n", "joe", "tty5", "nas1", "nas1", 0,
     std::vector<std::string>{}},
    {"ShortLineAmongSessions", head + "  1 tty 1 jo\n" + session_line(2, "joe"), "joe", "tty9", "nas1", "nas1", 1},
    {"JoeAtIndex13", head + session_line(1, "joe") + session_line(2, "joey"), "joe", "tty9", "nas1", "nas1", 1},
    {"JoeyAtIndex13", head + session_line(1, "joe") + session_line(2, "joey"), "joey", "tty9", "nas1", "nas1", 1},
    {"ElevenCharacterUserNeverMatches", head + session_line(1, "abcdefghijk"), "abcdefghijk", "tty9", "nas1",
     "nas1", 0},
    {"NameColumnIsTenWide", head + session_line(1, "abcdefghijk"), "abcdefghij", "tty9", "nas1", "nas1", 1},
    {"NameEndsAtTab", head + "  1 tty 1    joe\tAsync\n", "joe", "tty9", "nas1", "nas1", 1},
    {"HighBytesAreNoWhiteSpace", head + "  1 tty 1    joe\xa0 x\n", "joe", "tty9", "nas1", "nas1", 0},
    {"BlankAtIndex13IsAnEmptyName", head + "  1 tty 1     joe\n", "joe", "tty9", "nas1", "nas1", 0},
    {"CarriageReturnBeforeNewline", head + "  1 tty 1    joe\r\n" + "  2 tty 2    joe\r\n", "joe", "tty9", "nas1",
     "nas1", 2},
    {"CarriageReturnCountsTowardsLength", head + line13.substr(0, 12) + "\r\n", "joe", "tty5", "nas1", "nas1", 0,
     std::vector<std::string>{"joe session on nas1/tty5 discounted"}},
    {"LastLineWithoutNewline", head + session_line(1, "joe") + "  2 tty 2    joe", "joe", "tty9", "nas1", "nas1", 2},
    {"LastLineOfFourteenWithoutNewline", head + "  2 tty 2    j", "j", "tty9", "nas1", "nas1", 1},
    {"LastLineOfThirteenWithoutNewline", head + "  2 tty 2    ", "", "tty9", "nas1", "nas1", 0},
    {"NulEndsTheListing", head + session_line(1, "joe") + std::string(1, '\0') + session_line(2, "joe"), "joe",
     "tty9", "nas1", "nas1", 1},
    {"NulInTheHeading", std::string("Line\0", 5) + "\n" + head + session_line(1, "joe"), "joe", "tty9", "nas1",
     "nas1", 0},
    {"NulInsideTheName", head + std::string("  1 tty 1    jo\0e\n", 18) + session_line(2, "joe"), "joe", "tty9",
     "nas1", "nas1", 0},
    {"OwnSessionDiscountedOnCallersNas",
     head + session_line(2, "ann") + session_line(2, "joe") + session_line(3, "joe"), "joe", "tty2", "nas1", "nas1",
     1,
     std::vector<std::string>{"joe session on nas1/tty2 discounted", "joe session on nas1/tty2 discounted",
                              "joe matches: " + session_line(3, "joe")}},
    {"SameLineCountedOnOtherNas",
     head + session_line(2, "ann") + session_line(2, "joe") + session_line(3, "joe"), "joe", "tty2", "nas1", "nas2",
     2},
    {"OwnNumberReadAfterBlanks", head + "\t \t2 x       joe\n", "joe", "Async2", "nas1", "nas1", 0},
    {"OtherNumberNotDiscounted", head + "  12 tty 12  joe\n", "joe", "tty2", "nas1", "nas1", 1},
    {"NumberMustFollowTheFirstCharacter", head + "2 tty ab     joe\n", "joe", "tty2", "nas1", "nas1", 1},
    {"PortWithoutDigitNeverDiscounts", head + session_line(0, "joe") + "  1 tty 1    joe\n", "joe", "Serial0/1",
     "nas1", "nas1", 2},
    {"MalformedAsyncPortNeverDiscounts", head + session_line(0, "joe"), "joe", "Async", "nas1", "nas1", 1},
    {"NumberIsReadWithinItsLine", head + bare_line + session_line(2, "joe"), "joe", "tty2", "nas1", "nas1", 0,
     std::vector<std::string>{"joe session on nas1/tty2 discounted"}},
    {"LongNasNameAsStoredIsTheCallersNas", head + session_line(5, "joe") + session_line(6, "joe"), "joe", "tty5",
     long_nas, long_nas.substr(0, 31), 1},
    {"OtherNasSharingTheStoredPrefixIsNot", head + session_line(5, "joe") + session_line(6, "joe"), "joe", "tty5",
     long_nas, long_nas.substr(0, 30), 2},
    {"NumberTooLargeForAnIntNeverDiscounts", head + "  99999999999joe\n", "joe", "99999999999", "nas1", "nas1",
     1},
};

INSTANTIATE_TEST_SUITE_P(Table, Listing, ::testing::ValuesIn(listing_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ListingBounds, StopsAtTheGivenLengthWithoutANul)
{
    // The first bytes of a longer text: the parser sees exactly `length`.
    std::string text = listing_heading() + session_line(1, "joe") + session_line(2, "joe");
    user_ident id = {"joe", "nas1", "tty9", ""};
    int cut = static_cast<int>(listing_heading().size() + session_line(1, "joe").size() + 16);
    EXPECT_EQ(2, zat_velor::parse_listing(text.data(), cut, "nas1", &id)) << "the cut last line still shows joe";
    EXPECT_EQ(1, zat_velor::parse_listing(text.data(), cut - 3, "nas1", &id));
    EXPECT_EQ(0, zat_velor::parse_listing(text.data(), 0, "nas1", &id));
}

} // namespace
