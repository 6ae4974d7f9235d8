#pragma once
#include "app/Form.h"
#include "mainwin/ImageButton.h"

#include <QDialog>

class QLabel;

// "Restore Point Created Successfully!"
class frmRPntOK : public vigilorn::Form<frmRPntOK, QDialog> {
    Q_OBJECT
public:
    frmRPntOK();

    QLabel* Label1;
    vigilorn::ImageButton* Picture1; // OK

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;

private:
    vigilorn::ImageList ImageList1;
};
