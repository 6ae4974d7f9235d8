#pragma once
// Every message box of the program goes through here, so tests can answer them in advance.
#include <QMessageBox>
#include <QString>

#include <deque>
#include <functional>
#include <vector>

namespace vigilorn::MessageBox {

struct Shown {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                 const QString& text,
                                 QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                 QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// Test hooks. In test mode no box is ever opened: each call is recorded and answered with the
// next queued answer, or with its default button when none is queued.
void setTestMode(bool on);
void setNextAnswer(QMessageBox::StandardButton answer);
// Runs while a box is "open" in test mode, as events would during a real box's wait.
void setWhileOpen(std::function<void()> hook);
const std::vector<Shown>& shown();
void clearShown();

} // namespace vigilorn::MessageBox
