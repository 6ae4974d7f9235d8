#pragma once
#include <QString>

namespace vigilorn {

// An installer is a process whose lower-cased name contains "setup", "instal" or "msi".
bool isInstallerName(const QString& name);
bool isInstallerName(const std::string& utf8Name);

// The first reminder, naming the process exactly as reported.
QString reminderText(const QString& processName);
// The second, firmer reminder.
QString secondMessageText();

} // namespace vigilorn
