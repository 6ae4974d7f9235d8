#pragma once
#include "platform/PointRequest.h"
#include "ui/DialogForm.h"
#include "ui/ImageButton.h"

#include <QDialog>
#include <QPushButton>

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;

// A push button whose caption wraps inside its box.
class WrapButton : public QPushButton {
    Q_OBJECT
public:
    WrapButton(const QString& text, QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;
};

// Lists the restore points and creates one under the user's description.
class frmRestorePoints : public vigilorn::DialogForm<frmRestorePoints> {
    Q_OBJECT
public:
    frmRestorePoints();

    void ListPoints();  // throws RuntimeError
    void CreatePoint(); // throws RuntimeError

    QListWidget* listview2;
    WrapButton* Command1;
    QLabel* Label1;
    QLineEdit* Text1;
    WrapButton* Command2;
    vigilorn::ImageButton* Picture1;
    QLabel* lblEngine;

    static constexpr int kMaxDescription = int(vigilorn::pointreq::kMaxDescription);

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The engine and how much its newest point left out.
    void showEngine();
    void Command1_Click();
    void Command2_Click();
    void ShowChanges(QListWidgetItem* item);

    vigilorn::ImageList ImageList1;
    bool m_creating = false;
};
