/* handler/tests/test_transport.cpp: REQ exchanges, socket replacement and the completion receiver */
#include "receiver.hpp"
#include "record_codec.hpp"
#include "transport.hpp"

#include <gtest/gtest.h>
#include <zmq_addon.hpp>

#include <thread>
#include <type_traits>

namespace {

using namespace std::chrono_literals;

static_assert(!std::is_copy_constructible_v<kinra::RequestSocket>);
static_assert(!std::is_copy_constructible_v<kinra::CompletionReceiver>);

using Outcome = kinra::RequestSocket::Outcome;
using Clock = std::chrono::steady_clock;

/// A socket bound to an ephemeral loopback port; `endpoint` is what it got.
struct Bound {
    zmq::socket_t socket;
    std::string endpoint;
    Bound(zmq::context_t& context, zmq::socket_type type) : socket(context, type) {
        socket.set(zmq::sockopt::linger, 0);
        socket.bind("tcp://127.0.0.1:*");
        endpoint = socket.get(zmq::sockopt::last_endpoint);
    }
};

/// Answers `count` requests on a REP socket with `reply`, on its own thread.
std::thread serve(zmq::socket_t& rep, std::string reply, int count) {
    return std::thread([&rep, reply, count] {
        for (int k = 0; k < count; ++k) {
            zmq::message_t request;
            if (!rep.recv(request)) return;
            rep.send(zmq::buffer(reply));
        }
    });
}

TEST(RequestSocket, ExchangesOneRecord) {
    auto context = std::make_shared<zmq::context_t>();
    Bound rep(*context, zmq::socket_type::rep);
    std::thread server = serve(rep.socket, "answer", 1);
    kinra::RequestSocket req(*context, rep.endpoint);
    std::string reply, error;
    EXPECT_EQ(req.exchange("question", reply, error, nullptr), Outcome::replied);
    EXPECT_EQ(reply, "answer");
    server.join();
}

TEST(RequestSocket, SendFailsAfterTheTimeoutWithoutServer) {
    zmq::context_t context;
    kinra::RequestSocket req(context, "tcp://127.0.0.1:1");
    std::string reply, error;
    const auto begin = Clock::now();
    EXPECT_EQ(req.exchange("question", reply, error, nullptr), Outcome::send_failed);
    const auto elapsed = Clock::now() - begin;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 3000ms);
    EXPECT_EQ(error, "Resource temporarily unavailable");
}

TEST(RequestSocket, ReceiveFailsWhenTheServerStaysSilent) {
    zmq::context_t context;
    Bound rep(context, zmq::socket_type::rep);
    kinra::RequestSocket req(context, rep.endpoint);
    std::string reply, error;
    EXPECT_EQ(req.exchange("question", reply, error, nullptr), Outcome::receive_failed);
}

TEST(RequestSocket, AbandonCheckEndsTheWaitWithinASlice) {
    zmq::context_t context;
    Bound rep(context, zmq::socket_type::rep);
    kinra::RequestSocket req(context, rep.endpoint);
    std::string reply, error;
    const auto begin = Clock::now();
    EXPECT_EQ(req.exchange("question", reply, error, [] { return true; }), Outcome::abandoned);
    EXPECT_LT(Clock::now() - begin, 500ms);
}

TEST(RequestPair, FailedExchangeMarksTheSocketAndTheNextOneReplacesBoth) {
    auto context = std::make_shared<zmq::context_t>();
    Bound rep(*context, zmq::socket_type::rep);
    kinra::RequestPair pair(context);
    pair.set_endpoints(rep.endpoint, rep.endpoint);
    std::string error;
    ASSERT_TRUE(pair.init(false, error));
    // The first request is taken but never answered, so the REQ socket is stuck until replaced.
    auto failed = pair.exchange(kinra::RequestPair::Channel::action, "one", nullptr);
    EXPECT_EQ(failed.outcome, Outcome::receive_failed);
    EXPECT_FALSE(pair.status(kinra::RequestPair::Channel::action));
    EXPECT_TRUE(pair.status(kinra::RequestPair::Channel::log));
    zmq::message_t stale;
    ASSERT_TRUE(rep.socket.recv(stale));
    rep.socket.send(zmq::str_buffer("late"));  // goes to the closed peer and is dropped
    std::thread server = serve(rep.socket, "fresh", 1);
    auto next = pair.exchange(kinra::RequestPair::Channel::action, "two", nullptr);
    server.join();
    EXPECT_EQ(next.outcome, Outcome::replied);
    EXPECT_EQ(next.reply, "fresh");
    EXPECT_FALSE(next.reset_error.has_value());
    EXPECT_TRUE(pair.status(kinra::RequestPair::Channel::action));
}

TEST(RequestPair, ConcurrentExchangesStayPaired) {
    auto context = std::make_shared<zmq::context_t>();
    zmq::socket_t router(*context, zmq::socket_type::router);
    router.set(zmq::sockopt::linger, 0);
    router.bind("tcp://127.0.0.1:*");
    const std::string endpoint = router.get(zmq::sockopt::last_endpoint);
    constexpr int threads = 4, per_thread = 200;
    std::thread echo([&] {
        for (int k = 0; k < threads * per_thread; ++k) {
            std::vector<zmq::message_t> frames;
            if (!zmq::recv_multipart(router, std::back_inserter(frames))) return;
            zmq::send_multipart(router, frames);
        }
    });
    kinra::RequestPair pair(context);
    pair.set_endpoints(endpoint, endpoint);
    std::string error;
    ASSERT_TRUE(pair.init(false, error));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            for (int k = 0; k < per_thread; ++k) {
                const std::string request = std::to_string(t) + ":" + std::to_string(k);
                auto result = pair.exchange(t % 2 ? kinra::RequestPair::Channel::log : kinra::RequestPair::Channel::action,
                                            request, nullptr);
                if (result.outcome != Outcome::replied || result.reply != request) ++mismatches;
            }
        });
    }
    for (auto& c : clients) c.join();
    echo.join();
    EXPECT_EQ(mismatches.load(), 0);
}

/// Waits until the XPUB socket has seen `count` subscriptions, so that what it publishes next arrives.
void await_subscriptions(zmq::socket_t& xpub, int count) {
    for (int k = 0; k < count; ++k) {
        zmq::message_t subscription;
        ASSERT_TRUE(xpub.recv(subscription));
    }
}

std::shared_ptr<kinra::CompletionReceiver> receiver_for(std::shared_ptr<zmq::context_t> context,
                                                        const std::string& endpoint, std::vector<std::string>* errors) {
    return std::make_shared<kinra::CompletionReceiver>(
        context, endpoint, "PC-1", std::vector<std::string>{"PC-1", "PC-2"},
        [errors](const std::string& text) { errors->push_back(text); });
}

TEST(CompletionReceiver, EndsOnTheTargetAndKeepsFirstArrivalOrder) {
    auto context = std::make_shared<zmq::context_t>();
    Bound pub(*context, zmq::socket_type::xpub);
    pub.socket.set(zmq::sockopt::rcvtimeo, 5000);
    std::vector<std::string> errors;
    auto receiver = receiver_for(context, pub.endpoint, &errors);
    receiver->start();
    ASSERT_TRUE(receiver->wait_ready_or_finished(5s));
    ASSERT_TRUE(receiver->ready());
    await_subscriptions(pub.socket, 2);
    std::string record(kinra::action_record_size, '\0');
    pub.socket.send(zmq::str_buffer("other"), zmq::send_flags::sndmore);
    pub.socket.send(zmq::buffer(record));
    pub.socket.send(zmq::str_buffer("PC-2"), zmq::send_flags::sndmore);
    pub.socket.send(zmq::buffer(record));
    pub.socket.send(zmq::buffer(std::string("PC-1\0\0", 6)), zmq::send_flags::sndmore);
    pub.socket.send(zmq::buffer(record));
    const bool finished = receiver->wait_finished(5s);
    receiver->stop();
    ASSERT_TRUE(finished);
    const auto messages = receiver->messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].first, "PC-2");
    EXPECT_EQ(messages[1].first, "PC-1");
    EXPECT_TRUE(errors.empty());
    ASSERT_TRUE(kinra::CompletionReceiver::stop_running_threads(5s));
}

TEST(CompletionReceiver, MessageWithoutBodyIsAReceiveError) {
    auto context = std::make_shared<zmq::context_t>();
    Bound pub(*context, zmq::socket_type::xpub);
    pub.socket.set(zmq::sockopt::rcvtimeo, 5000);
    std::vector<std::string> errors;
    auto receiver = receiver_for(context, pub.endpoint, &errors);
    receiver->start();
    ASSERT_TRUE(receiver->wait_ready_or_finished(5s));
    await_subscriptions(pub.socket, 2);
    pub.socket.send(zmq::str_buffer("PC-1"));
    const bool finished = receiver->wait_finished(5s);
    receiver->stop();
    ASSERT_TRUE(finished);
    ASSERT_TRUE(kinra::CompletionReceiver::stop_running_threads(5s));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("no body frame"), std::string::npos);
}

TEST(CompletionReceiver, BecomesReadyWithoutPublisherAndStopsPromptly) {
    auto context = std::make_shared<zmq::context_t>();
    std::vector<std::string> errors;
    auto receiver = receiver_for(context, "tcp://127.0.0.1:1", &errors);
    const auto begin = Clock::now();
    receiver->start();
    ASSERT_TRUE(receiver->wait_ready_or_finished(5s));
    EXPECT_TRUE(receiver->ready());
    EXPECT_LT(Clock::now() - begin, 2s);
    receiver->stop();
    EXPECT_TRUE(receiver->wait_finished(1s));
    ASSERT_TRUE(kinra::CompletionReceiver::stop_running_threads(5s));
    EXPECT_TRUE(receiver->messages().empty());
}

TEST(CompletionReceiver, StoppingAllNeverReachesAReceiverItsThreadHasReleased) {
    // Each thread holds the last reference to its receiver and drops it as it returns, while the stop of
    // every running thread goes over the list: it must never reach a receiver already destroyed.
    auto context = std::make_shared<zmq::context_t>();
    std::vector<std::string> errors;
    for (int k = 0; k < 64; ++k) receiver_for(context, "tcp://127.0.0.1:1", &errors)->start();
    const auto deadline = Clock::now() + 10s;
    while (!kinra::CompletionReceiver::stop_running_threads(1ms)) ASSERT_LT(Clock::now(), deadline);
    EXPECT_TRUE(errors.empty());
}

}  // namespace
