// EventList: events come back in append order, field for field, across chunk boundaries and
// with string lengths that need multi-byte length prefixes; earlier events never move.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "event_list.h"

namespace durnel {
namespace {

TEST(EventList, ReturnsEveryEventInOrderAcrossChunksAndLongStrings) {
    EventList list;
    std::vector<std::string> contents;
    for (int i = 0; i < 2000; ++i) {
        // lengths 0..299 cross the one-byte length limit (127) and the 16384 two-byte one once
        contents.push_back(
            std::string(static_cast<std::size_t>(i % 300), static_cast<char>('a' + i % 26)));
    }
    contents[1999] = std::string(20000, 'z');
    for (int i = 0; i < 2000; ++i) {
        const std::string from = "agent-" + std::to_string(i);
        if (i % 2 == 0) {
            list.append(MessageSent{from, "to", contents[i], static_cast<UnixSeconds>(i)});
        } else {
            list.append(BroadcastSent{from, contents[i], static_cast<UnixSeconds>(i)});
        }
    }
    ASSERT_EQ(list.size(), 2000u);
    int i = 0;
    for (const ActivityEvent& event : list) {
        const std::string from = "agent-" + std::to_string(i);
        if (i % 2 == 0) {
            const auto& e = std::get<MessageSent>(event);
            EXPECT_EQ(e.from_agent, from);
            EXPECT_EQ(e.to_agent, "to");
            EXPECT_EQ(e.content, contents[i]);
            EXPECT_EQ(e.at, static_cast<UnixSeconds>(i));
        } else {
            const auto& e = std::get<BroadcastSent>(event);
            EXPECT_EQ(e.from_agent, from);
            EXPECT_EQ(e.content, contents[i]);
        }
        ++i;
    }
    EXPECT_EQ(i, 2000);
}

TEST(EventList, EarlierEventsStayPutWhileTheListGrows) {
    EventList list;
    list.append(Claimed{"first", "file:a", 7});
    const std::string_view first_agent = std::get<Claimed>(*list.begin()).agent;
    for (int i = 0; i < 10000; ++i) list.append(Released{"x", "task:y", 8});
    EXPECT_EQ(std::get<Claimed>(*list.begin()).agent.data(), first_agent.data());
    EXPECT_EQ(first_agent, "first");
    const EventList empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(empty.begin() == empty.end());
}

}  // namespace
}  // namespace durnel
