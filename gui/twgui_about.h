// TTWAbout: the about box, with the program's name, what it is and its
// build number, closed by "Ok" (or Escape), which hides it.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <cstdint>
#include <memory>

namespace Ui {
class TTWAbout;
}

class TTWAbout : public QDialog {
    Q_OBJECT
public:
    // The build number the box shows after "Build ".
    static constexpr uint32_t kBuildNumber = 20021118;

    explicit TTWAbout(QWidget* parent = nullptr);
    ~TTWAbout() override;

    Ui::TTWAbout& Form() const { return *ui_; }

    // "Ok": hides the box.
    void Button1Click() { hide(); }

private:
    std::unique_ptr<Ui::TTWAbout> ui_;
};
