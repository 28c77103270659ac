// log_bench: what a long log costs the console. Appends lines the way the
// window does (one paragraph each, in a text style) to the real log view
// on the offscreen platform, and reports the memory per line, the time per
// append, and how long one append, a jump to the top and one back to the
// end take once the log is long.
//   QT_QPA_PLATFORM=offscreen build/bench/log_bench [lines]
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "gui/log_view.h"

namespace {

// Resident memory of this process in bytes, from /proc.
long ResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib * 1024;
        }
    }
    return -1;
}

void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    LogView log;
    log.resize(640, 136);
    log.show();
    Settle();

    const long before = ResidentBytes();
    QElapsedTimer clock;
    clock.start();
    char text[128];
    double slowestMs = 0;
    for (long i = 0; i < lines; ++i) {
        std::snprintf(text, sizeof text,
                      "Connection from 192.168.%ld.%ld accepted. [Account: Public FTP Account]",
                      (i >> 8) & 255, i & 255);
        QElapsedTimer one;
        one.start();
        log.AppendLogLine(text, i % 50 == 0 ? LogStyle::Error : LogStyle::Basic);
        // The window's event loop runs between events: paint now and then.
        if (i % 1000 == 0) Settle();
        slowestMs = std::max(slowestMs, one.nsecsElapsed() / 1e6);
    }
    Settle();
    const double appendSeconds = clock.nsecsElapsed() / 1e9;
    const long after = ResidentBytes();

    clock.restart();
    log.AppendLogLine("one more line", LogStyle::Note);
    Settle();
    const double lastAppendMs = clock.nsecsElapsed() / 1e6;
    clock.restart();
    log.verticalScrollBar()->setValue(0);
    Settle();
    const double topMs = clock.nsecsElapsed() / 1e6;
    clock.restart();
    log.verticalScrollBar()->setValue(log.verticalScrollBar()->maximum() / 2);
    Settle();
    const double middleMs = clock.nsecsElapsed() / 1e6;
    clock.restart();
    log.verticalScrollBar()->setValue(log.verticalScrollBar()->maximum());
    Settle();
    const double endMs = clock.nsecsElapsed() / 1e6;

    std::printf("lines appended:           %ld\n", lines);
    std::printf("memory per line:          %.0f bytes (resident %+.1f MiB)\n",
                static_cast<double>(after - before) / lines, (after - before) / 1048576.0);
    std::printf("append, mean:             %.2f us (all: %.1f s; slowest single append %.2f ms)\n",
                appendSeconds * 1e6 / lines, appendSeconds, slowestMs);
    std::printf("one more append at end:   %.2f ms\n", lastAppendMs);
    std::printf("scroll to top/middle/end: %.2f / %.2f / %.2f ms\n", topMs, middleMs, endMs);
    return 0;
}
