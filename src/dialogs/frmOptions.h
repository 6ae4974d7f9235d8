#pragma once
#include "ui/Form.h"
#include "ui/ImageButton.h"

#include <QDialog>

#include <cstdint>
#include <optional>

class QCheckBox;
class QFrame;
class QLabel;
class QPlainTextEdit;

// The program options: the four start-up settings.
class frmOptions : public vigilorn::Form<frmOptions, QDialog> {
    Q_OBJECT
public:
    frmOptions();

    // A box's value: 0 unchecked, 1 checked, 2 grayed; a stored value the box cannot show is
    // returned unchanged until the user changes that box.
    int boxValue(const QCheckBox* box) const;

    QFrame* Shape1;
    QFrame* Shape2;
    QFrame* Shape3;
    QFrame* Shape4;
    QFrame* Shape5;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QCheckBox* chkAutoRun;
    QCheckBox* chkStartMinimised;
    QCheckBox* chkSplash;
    QCheckBox* chkBorder;
    QPlainTextEdit* Text1;
    vigilorn::ImageButton* Picture1; // OK
    vigilorn::ImageButton* Picture2; // Apply
    vigilorn::ImageButton* Picture3; // Cancel

    void Picture1_Click();
    void Picture2_Click();
    void Picture3_Click();

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void reject() override;

private:
    struct Row {
        QCheckBox* box;
        std::optional<std::int16_t> kept;
    };
    QCheckBox* addRow(int index, const char* frameName, const char* labelName, const char* boxName,
                      const QString& text, int labelWidth, QFrame*& frame, QLabel*& label);
    void load(QCheckBox* box, std::int16_t stored);
    void save(const char* key, std::int16_t value);
    void warnBeforeReplacingADamagedFile();

    vigilorn::ImageList ImageList1;
    Row m_rows[4] = {};
};
