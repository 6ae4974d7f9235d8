#pragma once
#include "app/Form.h"
#include "mainwin/ImageButton.h"

#include <QDialog>

class QLabel;

// The first reminder: names the installer and asks whether a restore point exists.
class frmDialog : public vigilorn::Form<frmDialog, QDialog> {
    Q_OBJECT
public:
    frmDialog();

    QLabel* Label1;
    vigilorn::ImageButton* Picture1; // Yes
    vigilorn::ImageButton* Picture2; // No

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;

private:
    void Picture1_Click();
    void Picture2_Click();

    vigilorn::ImageList ImageList1;
};
