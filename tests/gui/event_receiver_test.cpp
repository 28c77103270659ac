// The window's side of the sessions' events under load: many sessions
// sending at once to a window that is slow to log and to paint. Every
// event is taken in the order it was sent and none is lost, whether the
// senders run freely or wait for room in a full backlog; the window's end
// lets waiting senders go.
#include <QElapsedTimer>
#include <QTest>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/server_events.h"
#include "gui/event_receiver.h"

namespace {

constexpr int kWaitMs = 60000;

struct Logged {
    std::string text;
    LogStyle style;
};

// A window that takes its time: a pause every few lines and at every
// refresh, so that events pile up behind it.
struct SlowWindow {
    std::vector<Logged> lines;
    // The number of lines logged when each refresh ran.
    std::vector<std::size_t> refreshedAt;
    void Attach(GuiEventReceiver& receiver) {
        receiver.SetHandlers(
            [this](const std::string& text, LogStyle style) {
                lines.push_back({text, style});
                if (lines.size() % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            [this] {
                refreshedAt.push_back(lines.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            });
    }
};

// Runs the GUI thread's event loop until `done` holds.
template <typename Done>
bool RunUntil(Done done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < kWaitMs) QTest::qWait(1);
    return done();
}

}  // namespace

class EventReceiverTest : public QObject {
    Q_OBJECT

private slots:
    void manySessionsAtOnceLoseNothingAndKeepEachSessionsOrder_data() {
        QTest::addColumn<int>("backlog");
        // Free senders, and senders that keep waiting for room.
        QTest::newRow("roomy backlog") << int(GuiEventReceiver::kBacklogLimit);
        QTest::newRow("full backlog") << 16;
    }
    void manySessionsAtOnceLoseNothingAndKeepEachSessionsOrder() {
        QFETCH(int, backlog);
        GuiEventReceiver receiver(nullptr, static_cast<std::size_t>(backlog));
        SlowWindow window;
        window.Attach(receiver);
        ServerEvents events;
        events.Attach(&receiver);

        constexpr int kSessions = 12, kEvents = 600;
        std::atomic<int> finished{0};
        std::vector<std::thread> sessions;
        for (int s = 0; s < kSessions; ++s) {
            sessions.emplace_back([&, s] {
                for (int n = 0; n < kEvents; ++n) {
                    const std::string text = std::to_string(s) + " " + std::to_string(n);
                    // Every third event a state change (no line), every
                    // fifth line an error.
                    const int kind = n % 3 == 2   ? EVENT_STATE_CHANGED
                                     : n % 5 == 4 ? EVENT_LOG_ERROR
                                                  : EVENT_LOG_TEXT;
                    events.Send(text.c_str(), kind);
                }
                ++finished;
            });
        }
        QVERIFY(RunUntil([&] { return finished.load() == kSessions && receiver.Settled(); }));
        for (std::thread& s : sessions) s.join();
        events.Detach();

        std::vector<int> next(kSessions, 0);
        std::size_t expected = 0;
        for (const Logged& line : window.lines) {
            const int s = std::stoi(line.text);
            const int n = std::stoi(line.text.substr(line.text.find(' ') + 1));
            while (next[s] % 3 == 2) ++next[s];
            QCOMPARE(n, next[s]);
            QCOMPARE(line.style, n % 5 == 4 ? LogStyle::Error : LogStyle::Basic);
            ++next[s];
        }
        for (int s = 0; s < kSessions; ++s) {
            for (int n = 0; n < kEvents; ++n) expected += n % 3 == 2 ? 0 : 1;
        }
        QCOMPARE(window.lines.size(), expected);
        // The last refresh came after the last line.
        QVERIFY(!window.refreshedAt.empty());
        QCOMPARE(window.refreshedAt.back(), expected);
        // Refreshes are paced, not one per event.
        QVERIFY(window.refreshedAt.size() < expected / 4);
    }

    void eventsAreLoggedInTheOrderTheyWereSent() {
        // Sessions take turns through a lock of their own, so the order of
        // sending is known: one running number across all of them.
        GuiEventReceiver receiver(nullptr, 8);
        SlowWindow window;
        window.Attach(receiver);
        std::mutex turn;
        int number = 0;
        constexpr int kSessions = 8, kEvents = 300;
        std::atomic<int> finished{0};
        std::vector<std::thread> sessions;
        for (int s = 0; s < kSessions; ++s) {
            sessions.emplace_back([&] {
                for (int n = 0; n < kEvents; ++n) {
                    std::lock_guard<std::mutex> guard(turn);
                    receiver.OnServerEvent(std::to_string(number++).c_str(), EVENT_LOG_TEXT);
                }
                ++finished;
            });
        }
        QVERIFY(RunUntil([&] { return finished.load() == kSessions && receiver.Settled(); }));
        for (std::thread& s : sessions) s.join();
        QCOMPARE(window.lines.size(), std::size_t{kSessions * kEvents});
        for (std::size_t i = 0; i < window.lines.size(); ++i) {
            QCOMPARE(window.lines[i].text, std::to_string(i));
        }
    }

    void releaseLetsSendersWaitingForRoomGo() {
        // The window handles nothing (its event loop does not run), so the
        // senders fill the backlog and wait; its end lets them all go.
        auto receiver = std::make_unique<GuiEventReceiver>(nullptr, 4);
        SlowWindow window;
        window.Attach(*receiver);
        std::atomic<int> sent{0};
        std::vector<std::thread> sessions;
        for (int s = 0; s < 4; ++s) {
            sessions.emplace_back([&] {
                for (int n = 0; n < 50; ++n) {
                    receiver->OnServerEvent("line", EVENT_LOG_TEXT);
                    ++sent;
                }
            });
        }
        while (sent.load() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        receiver->Release();
        for (std::thread& s : sessions) s.join();
        QCOMPARE(sent.load(), 200);
        receiver->OnServerEvent("after the end", EVENT_LOG_TEXT);
        QVERIFY(receiver->Settled());
        receiver.reset();
        QTest::qWait(10);
        QVERIFY(window.lines.empty());
    }
};

QTEST_MAIN(EventReceiverTest)
#include "event_receiver_test.moc"
