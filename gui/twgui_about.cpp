#include "gui/twgui_about.h"

#include <algorithm>

#include "ui_twgui_about.h"

namespace {

constexpr int kWidth = 440;
constexpr int kHeight = 388;

}  // namespace

TTWAbout::TTWAbout(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TTWAbout>()) {
    ui_->setupUi(this);
    // A title without buttons: "Ok" is the way out.
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    const QSize needed = minimumSizeHint();
    setFixedSize(std::max(kWidth, needed.width()), std::max(kHeight, needed.height()));
    ui_->StaticText3->setText(QStringLiteral("Build ") + QString::number(kBuildNumber));
    connect(ui_->Button1, &QPushButton::clicked, this, &TTWAbout::Button1Click);
}

TTWAbout::~TTWAbout() = default;
