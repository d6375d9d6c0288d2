// The connection's receive buffer: the header/payload split, and handing a payload over or copying it.
#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <cstdint>
#include <vector>

#include "ws/connection.hpp"

namespace tarnel::ws {
namespace {

namespace asio = boost::asio;

Bytes pattern(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return out;
}

// Feeds `message` through prepare/commit in pieces of `piece` bytes, as the WebSocket layer does
// (preparing more than it then commits each time).
void feed(FrameBuffer& buffer, const Bytes& message, std::size_t piece) {
    std::size_t at = 0;
    while (at < message.size()) {
        const std::size_t n = std::min(piece, message.size() - at);
        const auto room = buffer.prepare(n + 5);
        ASSERT_EQ(asio::buffer_size(room), n + 5);
        ASSERT_EQ(asio::buffer_copy(room, asio::buffer(message.data() + at, n)), n);
        buffer.commit(n);
        at += n;
    }
}

Bytes bytes_of(ByteView view) { return Bytes(view.begin(), view.end()); }

TEST(FrameBuffer, SplitsTheFirstSixteenBytesFromTheRestWhateverThePieces) {
    const Bytes message = pattern(1000);
    for (std::size_t piece : {1u, 3u, 15u, 16u, 17u, 999u, 4096u}) {
        FrameBuffer buffer;
        feed(buffer, message, piece);
        ASSERT_EQ(buffer.size(), message.size()) << piece;
        EXPECT_EQ(bytes_of(buffer.head()), Bytes(message.begin(), message.begin() + 16)) << piece;
        EXPECT_EQ(bytes_of(buffer.body()), Bytes(message.begin() + 16, message.end())) << piece;
        EXPECT_EQ(buffer.contiguous(), message) << piece;
        Bytes through_data(buffer.size());
        EXPECT_EQ(asio::buffer_copy(asio::buffer(through_data), buffer.data()), message.size());
        EXPECT_EQ(through_data, message) << piece;
    }
}

TEST(FrameBuffer, MessagesShorterThanAHeaderStayInTheHead) {
    FrameBuffer buffer;
    feed(buffer, pattern(9), 4);
    EXPECT_EQ(bytes_of(buffer.head()), pattern(9));
    EXPECT_TRUE(buffer.body().empty());
    EXPECT_EQ(buffer.contiguous(), pattern(9));
    EXPECT_TRUE(buffer.take_body().empty());
}

TEST(FrameBuffer, ASmallPayloadIsCopiedAndTheStorageKeptForTheNextMessage) {
    FrameBuffer buffer;
    const Bytes first = pattern(16 + 300);
    feed(buffer, first, 64);
    const std::size_t capacity = buffer.capacity();
    EXPECT_EQ(buffer.take_body(), Bytes(first.begin() + 16, first.end()));
    EXPECT_EQ(buffer.capacity(), capacity);

    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    const Bytes second(16 + 200, 0xAB);
    feed(buffer, second, 1000);
    EXPECT_EQ(buffer.capacity(), capacity);  // no new allocation for a message that fits
    EXPECT_EQ(buffer.contiguous(), second);
}

TEST(FrameBuffer, ALargePayloadIsHandedOverWithoutACopy) {
    FrameBuffer buffer;
    const Bytes message = pattern(16 + FrameBuffer::kHandOverBytes + 3);
    feed(buffer, message, 1536);
    const std::uint8_t* stored = buffer.body().data();
    const Bytes taken = buffer.take_body();
    EXPECT_EQ(taken.data(), stored);  // the very storage the message was read into
    EXPECT_EQ(taken, Bytes(message.begin() + 16, message.end()));
    EXPECT_TRUE(buffer.body().empty());

    // The buffer is usable again afterwards, for small and large messages alike.
    buffer.clear();
    feed(buffer, pattern(40), 7);
    EXPECT_EQ(buffer.contiguous(), pattern(40));
    buffer.clear();
    feed(buffer, message, 1 << 20);
    EXPECT_EQ(buffer.contiguous(), message);
}

TEST(FrameBuffer, ReleaseKeepsUsualStorageAndFreesHugeStorage) {
    FrameBuffer buffer;
    feed(buffer, pattern(16 + 300), 64);
    const std::size_t usual = buffer.capacity();
    buffer.release();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), usual);  // kept for the next message

    feed(buffer, pattern(16 + FrameBuffer::kKeptBytes + 1), 1 << 20);
    EXPECT_GT(buffer.capacity(), FrameBuffer::kKeptBytes);
    buffer.release();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_LE(buffer.capacity(), FrameBuffer::kHeadLen);  // given back
    feed(buffer, pattern(40), 7);
    EXPECT_EQ(buffer.contiguous(), pattern(40));
}

TEST(FrameBuffer, ConsumeDropsBytesFromTheFront) {
    FrameBuffer buffer;
    const Bytes message = pattern(100);
    feed(buffer, message, 100);
    buffer.consume(20);
    EXPECT_EQ(buffer.contiguous(), Bytes(message.begin() + 20, message.end()));
    EXPECT_EQ(bytes_of(buffer.head()), Bytes(message.begin() + 20, message.begin() + 36));
    buffer.consume(1000);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_TRUE(buffer.contiguous().empty());
}

TEST(FrameBuffer, PrepareBeyondTheLimitThrowsLengthError) {
    FrameBuffer buffer;
    EXPECT_THROW(buffer.prepare(buffer.max_size() + 1), std::length_error);
}

}  // namespace
}  // namespace tarnel::ws
