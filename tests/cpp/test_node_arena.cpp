#include <gtest/gtest.h>

#include <string>

#include "morvik/node_arena.hpp"

using namespace morvik3;
using namespace morvik3::morvik;

TEST(Arena, AppendsThenReusesVacatedSlotsLastInFirstOut) {
    NodeArena a;
    a.dims = 2;
    EXPECT_EQ(a.allocate(Node::leaf(10, 1)), 0u);
    EXPECT_EQ(a.allocate(Node::leaf(11, 1)), 1u);
    EXPECT_EQ(a.allocate(Node::leaf(12, 1)), 2u);
    a.release(1);
    a.release(0);
    EXPECT_EQ(a.allocate(Node::leaf(13, 1)), 0u);
    EXPECT_EQ(a.allocate(Node::leaf(14, 1)), 1u);
    EXPECT_EQ(a.allocate(Node::leaf(15, 1)), 3u);
    EXPECT_EQ(a.get(1).point_idx, 14u);
    EXPECT_EQ(a.bounds.size(), 4u * 2 * 2);
}

TEST(Arena, VacantAndOutOfRangeSlotsFault) {
    NodeArena a;
    a.dims = 1;
    a.allocate(Node::leaf(0, 1));
    a.allocate(Node::leaf(1, 1));
    a.release(0);
    for (std::uint64_t i : {std::uint64_t{0}, std::uint64_t{2}, NULL_INDEX}) {
        try {
            (void)a.get(i);
            ADD_FAILURE() << "slot " << i << " was readable";
        } catch (const InternalError& e) {
            EXPECT_EQ(std::string(e.what()), "accessed freed or uninitialized node");
        }
        EXPECT_THROW((void)a.get_mut(i), InternalError);
    }
    EXPECT_THROW((void)a.min(2), InternalError);
    EXPECT_THROW(a.release(7), InternalError);
}
