#include "line/CommandRing.hpp"
#include "line/Frame.hpp"
#include "line/ProcessInfo.hpp"

#include <gtest/gtest.h>

using line::TReplyAssembler;

TEST(Frame, BuildsFramesByteForByte)
{
    struct TCase {
        const char* what;
        std::uint8_t start;
        int address;
        std::string_view data;
        std::vector<std::uint8_t> wire;
    };
    const TCase cases[] = {
        {"general poll, address 1", 0x02, 1, "C", {0x02, 0x31, 0x43, 0x03, 0x71}},
        {"pay on foot start", 0x05, 1, "C", {0x05, 0x31, 0x43, 0x03, 0x71}},
        {"address 10 is ':'", 0x02, 10, "C", {0x02, 0x3A, 0x43, 0x03, 0x7A}},
        {"address 16 is '@'", 0x02, 16, "R", {0x02, 0x40, 0x52, 0x03, 0x11}},
        {"payload bytes as they are", 0x02, 3, "G005", {0x02, 0x33, 0x47, 0x30, 0x30, 0x35, 0x03, 0x42}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(line::BuildFrame(c.start, c.address, c.data), c.wire);
    }
    EXPECT_EQ(line::BuildReply("1C"), (std::vector<std::uint8_t>{0x01, 0x31, 0x43, 0x04, 0x76}));
}

TEST(Frame, AssemblesRepliesByteByByte)
{
    struct TCase {
        const char* what;
        std::vector<std::uint8_t> bytes;
        TReplyAssembler::TStep last;
        std::string text;
    };
    const TCase cases[] = {
        {"lone ACK", {0x06}, TReplyAssembler::TStep::Done, "*"},
        {"text frame", {0x01, 0x31, 0x43, 0x04, 0x76}, TReplyAssembler::TStep::Done, "1C"},
        {"noise before the header", {0x7F, 0x20, 0x01, 0x31, 0x43, 0x04, 0x76}, TReplyAssembler::TStep::Done, "1C"},
        {"a second header restarts", {0x01, 0x39, 0x39, 0x01, 0x31, 0x43, 0x04, 0x76}, TReplyAssembler::TStep::Done,
         "1C"},
        {"ACK inside a frame ends it", {0x01, 0x31, 0x06}, TReplyAssembler::TStep::Done, "*"},
        {"STX and ETX are text", {0x01, 0x02, 0x03, 0x04, 0x05}, TReplyAssembler::TStep::Done, "\x02\x03"},
        {"wrong check byte", {0x01, 0x31, 0x43, 0x04, 0x77}, TReplyAssembler::TStep::Bad, "1C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TReplyAssembler a;
        TReplyAssembler::TStep step = TReplyAssembler::TStep::More;
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            step = a.Feed(c.bytes[i]);
            if (i + 1 < c.bytes.size()) {
                ASSERT_EQ(step, TReplyAssembler::TStep::More) << "byte " << i;
            }
        }
        EXPECT_EQ(step, c.last);
        EXPECT_EQ(a.Text(), c.text);
    }
}

TEST(Frame, EndlessReplyIsCutOff)
{
    TReplyAssembler a;
    a.Feed(0x01);
    std::size_t fed = 0;
    TReplyAssembler::TStep step = TReplyAssembler::TStep::More;
    while (step == TReplyAssembler::TStep::More && fed < 100000) {
        step = a.Feed('x');
        ++fed;
    }
    EXPECT_EQ(step, TReplyAssembler::TStep::Bad);
    EXPECT_EQ(fed, line::kMaxReplyText + 1);
}

TEST(Frame, DateTimeStampIsTwelveDigits)
{
    const std::string s = line::DateTimeStamp();
    ASSERT_EQ(s.size(), 12u);
    EXPECT_EQ(s.find_first_not_of("0123456789"), std::string::npos);
}

TEST(CommandRing, HoldsFifteenAndRefusesTheSixteenth)
{
    line::TCommandRing ring;
    for (int i = 0; i < 15; ++i)
        ASSERT_TRUE(ring.Push({1, "G" + std::to_string(i)}));
    EXPECT_FALSE(ring.Push({1, "lost"}));
    EXPECT_EQ(ring.Size(), 15u);
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(ring.Head()->Text, "G" + std::to_string(i)) << "nothing was written over";
        ring.PopHead();
    }
    EXPECT_TRUE(ring.Empty());
    EXPECT_FALSE(ring.Head().has_value());
}

TEST(EventRing, HoldsSixtyThreeAndOneCommStatus)
{
    line::TEventRing ring;
    line::TEventValues v;
    for (int i = 0; i < 63; ++i) {
        v.Reader = static_cast<std::int16_t>(i % 16);
        ASSERT_TRUE(ring.Post(line::TEventKind::Data, v));
    }
    EXPECT_FALSE(ring.Post(line::TEventKind::Data, v)) << "the 64th is dropped";
    line::TEventKind kind;
    for (int i = 0; i < 63; ++i) {
        ASSERT_TRUE(ring.Peek(kind, v));
        EXPECT_EQ(v.Reader, i % 16);
        ring.Pop();
    }
    EXPECT_FALSE(ring.Peek(kind, v));

    EXPECT_TRUE(ring.Post(line::TEventKind::CommStatus, v));
    EXPECT_TRUE(ring.Post(line::TEventKind::Data, v));
    EXPECT_TRUE(ring.Post(line::TEventKind::CommStatus, v));
    EXPECT_EQ(ring.Pending(), 2u) << "a second comm status while one is pending takes no slot";
    ring.Pop();
    EXPECT_TRUE(ring.Post(line::TEventKind::CommStatus, v));
    EXPECT_EQ(ring.Pending(), 2u);
}

TEST(EventRing, CardsNeverGiveWayToOtherEvents)
{
    line::TEventRing ring;
    line::TEventValues v;
    for (int i = 0; i < 63; ++i) {
        v.Reader = static_cast<std::int16_t>(i % 16);
        ASSERT_TRUE(ring.Post(i == 1 ? line::TEventKind::Memory : line::TEventKind::Counter, v));
    }
    v.Value = "1001";
    EXPECT_TRUE(ring.Post(line::TEventKind::Data, v)) << "the oldest counter reading makes room";
    EXPECT_FALSE(ring.Post(line::TEventKind::Input, v)) << "other events are dropped when full";
    line::TEventKind kind;
    ASSERT_TRUE(ring.Peek(kind, v));
    EXPECT_EQ(kind, line::TEventKind::Memory) << "in arrival order";
    std::vector<line::TEventKind> kinds;
    while (ring.Peek(kind, v)) {
        kinds.push_back(kind);
        ring.Pop();
    }
    ASSERT_EQ(kinds.size(), 63u);
    EXPECT_EQ(kinds.back(), line::TEventKind::Data);
    EXPECT_EQ(v.Value, "1001");
}
