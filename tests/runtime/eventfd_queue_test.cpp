// The eventfd queue: nothing lost or delivered twice between producers and the draining thread, the
// eventfd readable exactly while items wait, and closing.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/eventfd_queue.hpp"

namespace tarnel::runtime {
namespace {

bool readable(int fd, int timeout_ms = 0) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, timeout_ms) == 1;
}

TEST(EventfdQueue, ReadableWhileItemsWaitAndTakenInOrder) {
    auto queue = EventfdQueue<int>::create();
    ASSERT_TRUE(queue);
    EXPECT_FALSE(readable(queue->fd()));
    EXPECT_TRUE(queue->push(1));
    EXPECT_TRUE(queue->push(2));
    EXPECT_TRUE(readable(queue->fd()));
    EXPECT_EQ(queue->take(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(readable(queue->fd()));
    EXPECT_TRUE(queue->take().empty());  // a spurious wake-up finds nothing, and harms nothing
}

TEST(EventfdQueue, CloseGivesBackWhatWaitsAndRefusesMore) {
    auto queue = EventfdQueue<std::unique_ptr<int>>::create();
    ASSERT_TRUE(queue);
    EXPECT_TRUE(queue->push(std::make_unique<int>(7)));
    auto left = queue->close();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(*left[0], 7);
    auto refused = std::make_unique<int>(8);
    EXPECT_FALSE(queue->push(std::move(refused)));
    ASSERT_TRUE(refused);  // a refused item stays with the caller
    EXPECT_EQ(*refused, 8);
    EXPECT_TRUE(queue->closed());
}

// Four producers against one consumer that sleeps in poll() as an event loop would: every item arrives
// once, and the consumer is never left asleep with items waiting.
TEST(EventfdQueue, ProducersAndAPollingConsumerLoseNothing) {
    auto queue = EventfdQueue<int>::create();
    ASSERT_TRUE(queue);
    constexpr int kProducers = 4;
    constexpr int kEach = 20000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(queue->push(p * kEach + i));
        });
    }
    std::vector<int> seen(kProducers * kEach, 0);
    int received = 0;
    while (received < kProducers * kEach) {
        ASSERT_TRUE(readable(queue->fd(), 5000)) << "asleep with " << kProducers * kEach - received << " to come";
        for (int item : queue->take()) {
            ++seen[item];
            ++received;
        }
    }
    for (auto& producer : producers) producer.join();
    EXPECT_EQ(received, kProducers * kEach);
    for (int count : seen) ASSERT_EQ(count, 1);
}

}  // namespace
}  // namespace tarnel::runtime
