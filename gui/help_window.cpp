#include "gui/help_window.h"

#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <utility>

#include "ui_help_window.h"

HelpWindow::HelpWindow(QString manualPath, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::HelpWindow>()), manualPath_(std::move(manualPath)) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
}

HelpWindow::~HelpWindow() = default;

QTextBrowser* HelpWindow::Browser() const { return ui_->Browser; }

void HelpWindow::OpenContents() {
    QTextBrowser* browser = ui_->Browser;
    const QFileInfo manual(manualPath_);
    if (manual.isFile() && manual.isReadable()) {
        const QUrl contents = QUrl::fromLocalFile(manual.absoluteFilePath());
        // The name ends in .hlp, so the type is given, not guessed.
        if (browser->source() != contents) {
            browser->setSource(contents, QTextDocument::HtmlResource);
        } else {
            browser->home();
        }
    } else {
        browser->setHtml(
            QStringLiteral("<h2>The help manual could not be opened</h2>"
                           "<p>The file <b>%1</b> is missing or cannot be read. Installing "
                           "the program again puts it back.</p>")
                .arg(manualPath_.toHtmlEscaped()));
    }
    show();
    raise();
    activateWindow();
}
