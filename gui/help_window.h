// HelpWindow: the help manual's viewer, a top-level window that shows the
// HTML manual tarnhold.hlp with its pictures, follows its links (Back,
// Forward and Contents as in a browser; links to the web open in the
// desktop's browser) and hides when closed (Escape, "Close").
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

class QTextBrowser;

namespace Ui {
class HelpWindow;
}

class HelpWindow : public QDialog {
    Q_OBJECT
public:
    // A viewer of the manual at `manualPath` (absolute); nothing is read
    // until it opens.
    explicit HelpWindow(QString manualPath, QWidget* parent = nullptr);
    ~HelpWindow() override;

    // Shows the manual at its contents, then shows and activates the
    // window. A manual that cannot be read is reported in the window.
    void OpenContents();

    QTextBrowser* Browser() const;
    Ui::HelpWindow& Form() const { return *ui_; }

private:
    std::unique_ptr<Ui::HelpWindow> ui_;
    const QString manualPath_;
};
