#include "app/headless_console.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A pipe whose read end the test drains.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        if (read >= 0) close(read);
        if (write >= 0) close(write);
    }
    // Everything written so far (the write end must be closed or idle).
    std::string Drain() {
        int flags = fcntl(read, F_GETFL);
        fcntl(read, F_SETFL, flags | O_NONBLOCK);
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(read, buffer, sizeof buffer)) > 0) text.append(buffer, n);
        fcntl(read, F_SETFL, flags);
        return text;
    }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::regex kStamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");

// The line without its time stamp; fails the test when the stamp is missing.
std::string Unstamped(const std::string& line) {
    std::smatch match;
    if (!std::regex_search(line, match, kStamp)) {
        ADD_FAILURE() << "no time stamp: " << line;
        return line;
    }
    return match.suffix();
}

TEST(HeadlessConsole, WritesEachLogLineWithTimeAndStyle) {
    Pipe out;
    HeadlessConsole console(out.write);
    console.AppendLogLine("Listening for connections on port 2121", LogStyle::Basic);
    console.OnServerEvent("Connection from 127.0.0.1 accepted. [Account: Public FTP Account]",
                          EVENT_LOG_TEXT);
    console.OnServerEvent("not shown", EVENT_STATE_CHANGED);
    console.OnServerEvent(nullptr, EVENT_LOG_TEXT);
    console.OnServerEvent("any other kind is a log text", 0x1234);
    console.AppendLogLine("Could not start listening on port 21. ...", LogStyle::Error);
    console.AppendLogLine("  10.0.0.1  ", LogStyle::Note);
    console.AppendLogLine("", LogStyle::Basic);

    std::vector<std::string> lines = Lines(out.Drain());
    std::vector<std::string> texts;
    for (const std::string& line : lines) texts.push_back(Unstamped(line));
    const std::vector<std::string> expected = {
        "[TarnHold basic] Listening for connections on port 2121",
        "[TarnHold basic] Connection from 127.0.0.1 accepted. [Account: Public FTP Account]",
        "[TarnHold basic] any other kind is a log text",
        "[TarnHold error] Could not start listening on port 21. ...",
        "[TarnHold Note]   10.0.0.1  ",
        "[TarnHold basic] ",
    };
    EXPECT_EQ(texts, expected);
}

TEST(HeadlessConsole, DropsLinesThatCannotBeWrittenWithoutBlocking) {
    Pipe out;
    // Fill the pipe, as a reader that has stopped reading would leave it.
    int flags = fcntl(out.write, F_GETFL);
    fcntl(out.write, F_SETFL, flags | O_NONBLOCK);
    std::string filler(4096, 'x');
    std::size_t filled = 0;
    ssize_t n;
    while ((n = write(out.write, filler.data(), filler.size())) > 0) filled += n;
    fcntl(out.write, F_SETFL, flags);

    HeadlessConsole console(out.write);
    const auto began = std::chrono::steady_clock::now();
    console.AppendLogLine("dropped", LogStyle::Basic);
    // A generous bound: the point is that the call returns at all.
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));

    // Once the reader catches up, lines flow again, whole.
    EXPECT_EQ(out.Drain().size(), filled);
    console.AppendLogLine("after", LogStyle::Basic);
    std::vector<std::string> lines = Lines(out.Drain());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Unstamped(lines[0]), "[TarnHold basic] after");

    // A closed reader: the line is dropped and the process goes on.
    close(out.read);
    out.read = -1;
    console.AppendLogLine("into a closed pipe", LogStyle::Basic);
    console.OnServerEvent("and another", EVENT_LOG_TEXT);
}

TEST(HeadlessConsole, LinesFromManyThreadsStayWholeAndInOrder) {
    Pipe out;
    HeadlessConsole console(out.write);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(out.read, buffer, sizeof buffer)) > 0) received.append(buffer, n);
    });

    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&console, t] {
            for (int i = 0; i < kLines; ++i) {
                std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                   " " + std::string(200, static_cast<char>('a' + t));
                console.OnServerEvent(text.c_str(), EVENT_LOG_TEXT);
            }
        });
    }
    for (std::thread& w : writers) w.join();
    close(out.write);
    out.write = -1;
    reader.join();

    const std::regex shape(R"(^\[TarnHold basic\] thread (\d) line (\d+) ([a-d])+$)");
    std::vector<int> next(kThreads, 0);
    std::vector<std::string> lines = Lines(received);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    for (const std::string& line : lines) {
        std::string text = Unstamped(line);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, shape)) << text;
        int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++) << "lines of one thread out of order";
        EXPECT_EQ(text.find(std::string(200, static_cast<char>('a' + t))), text.size() - 200);
    }
}

}  // namespace
