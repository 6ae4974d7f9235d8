#include "MessageBox.h"

#include <utility>

namespace vigilorn::MessageBox {
namespace {
bool g_testMode = false;
std::deque<QMessageBox::StandardButton> g_answers;
std::vector<Shown> g_shown;
std::function<void()> g_whileOpen;
} // namespace

QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                 const QString& text, QMessageBox::StandardButtons buttons,
                                 QMessageBox::StandardButton defaultButton) {
    if (g_testMode) {
        g_shown.push_back({title, text, icon, buttons});
        if (auto hook = std::exchange(g_whileOpen, nullptr))
            hook();
        if (!g_answers.empty()) {
            auto a = g_answers.front();
            g_answers.pop_front();
            return a;
        }
        return defaultButton != QMessageBox::NoButton ? defaultButton : QMessageBox::Ok;
    }
    QMessageBox box(icon, title, {}, buttons, parent);
    box.setObjectName(QStringLiteral("MessageBox"));
    // Texts carry process names, descriptions and system messages: markup in them is shown, never
    // obeyed.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    const int r = box.exec();
    return static_cast<QMessageBox::StandardButton>(r);
}

void setTestMode(bool on) {
    g_testMode = on;
    g_answers.clear();
    g_whileOpen = nullptr;
}
void setWhileOpen(std::function<void()> hook) {
    g_whileOpen = std::move(hook);
}
void setNextAnswer(QMessageBox::StandardButton answer) {
    g_answers.push_back(answer);
}
const std::vector<Shown>& shown() {
    return g_shown;
}
void clearShown() {
    g_shown.clear();
}

} // namespace vigilorn::MessageBox
