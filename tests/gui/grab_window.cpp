// grab_window: saves what an X display shows of one window as a PNG.
//   grab_window <window id> <file.png>
// The id is an X window id, decimal or 0x-hex, as xwininfo prints it; 0
// takes the whole screen.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    if (argc != 3) {
        std::fputs("usage: grab_window <window id> <file.png>\n", stderr);
        return 2;
    }
    bool ok = false;
    const WId id = QString::fromLocal8Bit(argv[1]).toULongLong(&ok, 0);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!ok || screen == nullptr) {
        std::fputs("grab_window: bad window id or no screen\n", stderr);
        return 2;
    }
    if (!screen->grabWindow(id).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "grab_window: could not save %s\n", argv[2]);
        return 1;
    }
    return 0;
}
