#pragma once
// The look the three small windows of the monitor share: a 255 x 145 client area on a green
// gradient, centred on the screen whenever it is shown.
#include "ui/Artwork.h"
#include "ui/DialogForm.h"

#include <QDialog>
#include <QPainter>

template <class Derived> class ReminderWindow : public vigilorn::DialogForm<Derived> {
protected:
    ReminderWindow() {
        this->setWindowIcon(vigilorn::programIcon());
        this->setFixedSize(255, 145);
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        vigilorn::paintGreenGradient(p, this->rect());
    }
    void showEvent(QShowEvent* e) override {
        QDialog::showEvent(e);
        this->centreOnScreen();
    }
};
