#include "ErrorReport.h"
#include "MessageBox.h"

namespace vigilorn {

QString errorReportText(const PlatformError& e) {
    return QStringLiteral("An error has occurred - Code: ") + QString::number(e.number) +
           QStringLiteral(" Description: ") + QString::fromStdString(e.description);
}

void reportError(const PlatformError& e, QWidget* parent) {
    MessageBox::show(parent, QMessageBox::Critical, QStringLiteral("System Error!"),
                     errorReportText(e), QMessageBox::Ok);
}

} // namespace vigilorn
