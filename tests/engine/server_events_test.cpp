#include "engine/server_events.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

class Recorder : public ServerEventReceiver {
public:
    void OnServerEvent(const char* text, int kind) override {
        std::lock_guard<std::mutex> guard(mutex);
        events.emplace_back(std::string(text), kind);
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, int>> events;
};

TEST(ServerEvents, DeliversTextsAndIgnoresNullOrNoReceiver) {
    ServerEvents events;
    Recorder recorder;
    events.Send("before any receiver", EVENT_LOG_TEXT);
    events.Attach(&recorder);
    events.Send("Connection from 127.0.0.1 disconnected.", EVENT_LOG_TEXT);
    events.Send(nullptr, EVENT_LOG_TEXT);
    events.Send("", EVENT_STATE_CHANGED);
    events.Detach();
    events.Send("after detaching", EVENT_LOG_TEXT);
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0].first, "Connection from 127.0.0.1 disconnected.");
    EXPECT_EQ(recorder.events[0].second, EVENT_LOG_TEXT);
    EXPECT_EQ(recorder.events[1].second, EVENT_STATE_CHANGED);
}

// A receiver that holds its callers until released, as a window does while
// it is busy.
class Gate : public ServerEventReceiver {
public:
    void OnServerEvent(const char*, int) override {
        entered.store(true);
        while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished.store(true);
    }
    std::atomic<bool> entered{false}, open{false}, finished{false};
};

TEST(ServerEvents, DetachWaitsForACallInProgress) {
    ServerEvents events;
    Gate gate;
    events.Attach(&gate);
    std::thread session([&] { events.Send("text", EVENT_LOG_TEXT); });
    while (!gate.entered.load()) std::this_thread::yield();
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.open.store(true);
    });
    events.Detach();
    EXPECT_TRUE(gate.finished.load()) << "Detach returned while the receiver was still called";
    session.join();
    release.join();
}

TEST(ServerEvents, ManySessionsAtOnce) {
    ServerEvents events;
    Recorder recorder;
    events.Attach(&recorder);
    std::vector<std::thread> sessions;
    for (int i = 0; i < 8; ++i) {
        sessions.emplace_back([&] {
            for (int j = 0; j < 200; ++j) events.Send("line", EVENT_LOG_TEXT);
        });
    }
    for (auto& s : sessions) s.join();
    events.Detach();
    EXPECT_EQ(recorder.events.size(), 1600u);
}

}  // namespace
