/* handler/tests/test_completion_hub.cpp: routing of completions to waiters, kept completions, readiness, stop */
#include "completion_hub.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <type_traits>

namespace {

using namespace std::chrono_literals;
using kinra::CompletionHub;
using Waiter = CompletionHub::Waiter;

static_assert(!std::is_copy_constructible_v<CompletionHub>);
static_assert(!std::is_copy_constructible_v<Waiter>);

/// An XPUB publisher on an ephemeral loopback port and a hub subscribed to it under "PC-".
struct Fixture {
    std::shared_ptr<zmq::context_t> context = std::make_shared<zmq::context_t>();
    zmq::socket_t publisher{*context, zmq::socket_type::xpub};
    std::unique_ptr<CompletionHub> hub;

    Fixture() {
        publisher.set(zmq::sockopt::linger, 0);
        publisher.set(zmq::sockopt::rcvtimeo, 5000);
        publisher.bind("tcp://127.0.0.1:*");
        hub = std::make_unique<CompletionHub>(context, publisher.get(zmq::sockopt::last_endpoint), "PC-");
        expect_subscription("PC-");
    }

    void expect_subscription(const std::string& topic) {
        zmq::message_t message;
        ASSERT_TRUE(publisher.recv(message));
        EXPECT_EQ(message.to_string(), std::string(1, '\1') + topic);
    }

    void publish(const std::string& topic, const std::string& body) {
        publisher.send(zmq::buffer(topic), zmq::send_flags::sndmore);
        publisher.send(zmq::buffer(body));
    }

    /// Sends a message the publisher had to take in before `waiter`'s completions: once it arrives,
    /// everything published earlier has been routed.
    void flush(Waiter& probe) {
        publish(probe.target(), "flush");
        ASSERT_TRUE(probe.wait_ended(5s));
    }
};

TEST(CompletionHub, RoutesEachCompletionOnlyToTheWaitersWhoseTopicsMatch) {
    Fixture f;
    Waiter first("PC-1", {"PC-1"}, false, {});
    Waiter second("PC-2", {"PC-2"}, true, {});
    f.hub->add(first);
    f.hub->add(second);
    ASSERT_TRUE(f.hub->wait_ready(first, 5s));
    f.publish("PC-20", "other");  // extends PC-2: counts for a prefix waiter only
    f.publish("PC-2", "two");
    f.publish(std::string("PC-1\0\0", 6), "one");
    ASSERT_TRUE(first.wait_ended(5s));
    ASSERT_TRUE(second.wait_ended(5s));
    EXPECT_EQ(first.messages(), (CompletionHub::Messages{{"PC-1", "one"}}));
    EXPECT_EQ(second.messages(), (CompletionHub::Messages{{"PC-2", "two"}}));
    f.hub->remove(first);
    f.hub->remove(second);
}

TEST(CompletionHub, KeptCompletionReachesALaterWaiterUnlessItIsAboutToSendThatIdentifier) {
    Fixture f;
    Waiter probe("PC-probe", {"PC-probe"}, true, {});
    f.hub->add(probe);
    ASSERT_TRUE(f.hub->wait_ready(probe, 5s));
    f.publish("PC-7", "earlier");
    f.flush(probe);
    f.hub->remove(probe);

    Waiter late("PC-7", {"PC-7"}, true, {});
    f.hub->add(late);
    EXPECT_TRUE(late.wait_ended(0ms));
    EXPECT_EQ(late.messages(), (CompletionHub::Messages{{"PC-7", "earlier"}}));
    f.hub->remove(late);

    Waiter resending("PC-7", {"PC-7"}, true, {"PC-7"});
    f.hub->add(resending);
    EXPECT_FALSE(resending.wait_ended(50ms));
    EXPECT_TRUE(resending.messages().empty());
    f.hub->remove(resending);
}

TEST(CompletionHub, TopicOutsideTheBaseIsSubscribedWhileWantedAndReadyAfterItsSettle) {
    Fixture f;
    Waiter outside("t", {"t"}, false, {});
    f.hub->add(outside);
    f.expect_subscription("t");
    ASSERT_TRUE(f.hub->wait_ready(outside, 5s));
    f.publish("t", "body");
    ASSERT_TRUE(outside.wait_ended(5s));
    EXPECT_TRUE(outside.target_arrived());
    f.hub->remove(outside);
    zmq::message_t message;
    ASSERT_TRUE(f.publisher.recv(message));
    EXPECT_EQ(message.to_string(), std::string(1, '\0') + "t");
}

TEST(CompletionHub, MessageWithoutBodyEndsTheWaitsItConcernsWithAnError) {
    Fixture f;
    Waiter concerned("PC-1", {"PC-1"}, false, {});
    Waiter other("PC-2", {"PC-2"}, false, {});
    f.hub->add(concerned);
    f.hub->add(other);
    ASSERT_TRUE(f.hub->wait_ready(concerned, 5s));
    f.publisher.send(zmq::str_buffer("PC-1"));
    ASSERT_TRUE(concerned.wait_ended(5s));
    ASSERT_EQ(concerned.errors().size(), 1u);
    EXPECT_NE(concerned.errors()[0].find("no body frame"), std::string::npos);
    EXPECT_FALSE(other.wait_ended(50ms));
    f.hub->remove(concerned);
    f.hub->remove(other);
}

TEST(CompletionHub, CancelEndsAReadinessWaitAndAWaitForCompletions) {
    auto context = std::make_shared<zmq::context_t>();
    CompletionHub hub(context, "tcp://127.0.0.1:1", "PC-");  // nothing listens there
    Waiter waiter("PC-1", {"PC-1"}, false, {});
    hub.add(waiter);
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        waiter.cancel();
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(hub.wait_ready(waiter, 5s));
    EXPECT_TRUE(waiter.cancelled() && waiter.wait_ended(0ms));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    canceller.join();
    hub.remove(waiter);
}

TEST(CompletionHub, TopicWantedAgainWhileItsSubscriptionIsBeingDroppedIsSubscribedAgain) {
    // A waiter that wants a topic outside the base just as the hub's thread drops it for the previous
    // one must still be subscribed before it counts as ready. The pause between the two sweeps the
    // moment of the drop.
    Fixture f;
    for (int round = 0; round < 300; ++round) {
        {
            Waiter previous("Q-1", {"Q-1"}, true, {});
            f.hub->add(previous);
            ASSERT_TRUE(f.hub->wait_ready(previous, 5s));
            f.hub->remove(previous);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(round % 60));
        Waiter next("Q-1", {"Q-1"}, true, {});
        f.hub->add(next);
        ASSERT_TRUE(f.hub->wait_ready(next, 5s));
        f.publish("Q-1", "done");
        const bool ended = next.wait_ended(2s);
        f.hub->remove(next);
        ASSERT_TRUE(ended && next.target_arrived()) << "round " << round;
    }
}

}  // namespace
