#pragma once
#include "ui/Form.h"

#include <QDialog>

class QTextBrowser;

// The help and licence document, read afresh each time the window opens.
class frmHelp : public vigilorn::Form<frmHelp, QDialog> {
    Q_OBJECT
public:
    frmHelp();

    static inline const QString kFileName = QStringLiteral("help_and_license.rtf");
    // Beside the executable first, then in the installed data folder; empty when neither has it.
    static QString findDocument();

    // Reads the document into RichTextBox1, or a sentence saying why it cannot be shown.
    void loadDocument();

    QTextBrowser* RichTextBox1;

protected:
    void showEvent(QShowEvent*) override;
};
