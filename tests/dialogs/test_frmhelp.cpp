// The Help window: the real document, and the sentence shown when it cannot be.
#include "DialogTestSupport.h"
#include "dialogs/frmHelp.h"

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

using namespace vigilorn;

namespace {

// The character format in the middle of the first occurrence of text.
std::optional<QTextCharFormat> formatOf(QTextDocument* doc, const QString& text) {
    const QTextCursor found = doc->find(text, 0, QTextDocument::FindCaseSensitively);
    if (found.isNull())
        return std::nullopt;
    QTextCursor c(doc);
    c.setPosition((found.selectionStart() + found.selectionEnd() + 1) / 2);
    return c.charFormat();
}

} // namespace

class TestFrmHelp : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void showsTheProgramsHelpDocument();
    void problemsShowASentence_data();
    void problemsShowASentence();
    void readsAfreshAtEveryOpening();
    void reachableByScreenReaders();

private:
    void writeHelp(const QByteArray& text);
    void skipIfInstalledCopy();
    QString text() const { return frmHelp::loaded()->RichTextBox1->document()->toPlainText(); }

    DialogTestEnv m_env;
};

void TestFrmHelp::init() {
    m_env.reset();
    QVERIFY(QDir().mkpath(Module1::services.appDir));
}

void TestFrmHelp::cleanup() {
    if (auto* f = frmHelp::loaded())
        f->unload();
    flushDeletes();
}

void TestFrmHelp::writeHelp(const QByteArray& text) {
    QFile f(QDir(Module1::services.appDir).filePath(frmHelp::kFileName));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

void TestFrmHelp::skipIfInstalledCopy() {
    if (QFileInfo::exists(QDir(QStringLiteral(VIGILORN_DATADIR)).filePath(frmHelp::kFileName)))
        QSKIP("an installed help document would be found instead");
}

void TestFrmHelp::showsTheProgramsHelpDocument() {
    Module1::services.appDir = QStringLiteral(VIGILORN_TEST_ASSETS);
    frmHelp* f = frmHelp::instance();
    f->show();
    QCOMPARE(f->windowTitle(), QStringLiteral("Help"));
    QTextDocument* doc = f->RichTextBox1->document();
    QVERIFY(f->RichTextBox1->isReadOnly());
    QCOMPARE(doc->defaultFont().pointSizeF(), 8.5);

    // Headings are bold, larger than the body, and coloured.
    for (const char* heading :
         {"What Quillmere Vigilorn does", "The reminders", "The notification area menu",
          "Where restore points are kept", "Licence"}) {
        const auto fmt = formatOf(doc, QString::fromLatin1(heading));
        QVERIFY2(fmt, heading);
        QVERIFY2(fmt->fontWeight() >= QFont::Bold, heading);
        QVERIFY2(fmt->fontPointSize() > 8.5, heading);
        QVERIFY2(fmt->hasProperty(QTextFormat::ForegroundBrush), heading);
    }
    const auto body = formatOf(doc, QStringLiteral("looks at the running processes"));
    QVERIFY(body);
    QCOMPARE(body->fontWeight(), int(QFont::Normal));
    QCOMPARE(body->fontPointSize(), 8.5);

    const QString all = doc->toPlainText();
    for (const char* must :
         {"setup", "instal", "msi", "Kill Selected Process", "~/.config/QMVigilornApp.ini",
          "/etc/xdg/autostart/QMVigilorn.desktop", "restore-points.git",
          "Copyright (c) 2026 Quillmere Computer Services and Software"})
        QVERIFY2(all.contains(QString::fromLatin1(must)), must);
    // Nothing of the skipped groups leaks into the text.
    QVERIFY(!all.contains(QStringLiteral("hand written")));
    QVERIFY(!all.contains(QStringLiteral("Tahoma")));
    // The title is centred.
    QCOMPARE(doc->begin().text(), QStringLiteral("Quillmere Vigilorn"));
    QCOMPARE(doc->begin().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
}

void TestFrmHelp::problemsShowASentence_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("sentence");
    QTest::newRow("missing") << 0
                             << QStringLiteral(
                                    "The help file help_and_license.rtf could not be found.");
    QTest::newRow("a folder of that name")
        << 1 << QStringLiteral("The help file help_and_license.rtf could not be found.");
    QTest::newRow("not rtf") << 2
                             << QStringLiteral("The help file help_and_license.rtf is damaged and "
                                               "cannot be shown.");
    QTest::newRow("too large") << 3
                               << QStringLiteral(
                                      "The help file help_and_license.rtf could not be read.");
}

void TestFrmHelp::problemsShowASentence() {
    QFETCH(int, kind);
    QFETCH(QString, sentence);
    skipIfInstalledCopy();
    const QString path = QDir(Module1::services.appDir).filePath(frmHelp::kFileName);
    switch (kind) {
    case 1:
        QVERIFY(QDir().mkpath(path));
        break;
    case 2:
        writeHelp("<html>not a document of ours</html>");
        break;
    case 3: {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(65LL * 1024 * 1024)); // sparse: costs no disk
        break;
    }
    default:
        break;
    }
    frmHelp* f = frmHelp::instance();
    f->show();
    QVERIFY(f->isVisible());
    QCOMPARE(text(), sentence);
    QVERIFY(MessageBox::shown().empty());
    f->close();
    QVERIFY(!frmHelp::loaded());
}

void TestFrmHelp::readsAfreshAtEveryOpening() {
    writeHelp("{\\rtf1 first}");
    frmHelp::instance()->show();
    QCOMPARE(text(), QStringLiteral("first"));
    writeHelp("{\\rtf1 second}");
    frmHelp::loaded()->close();
    flushDeletes();
    frmHelp::instance()->show();
    QCOMPARE(text(), QStringLiteral("second"));
    // Hidden and shown again without being unloaded: read again too.
    writeHelp("{\\rtf1 third}");
    frmHelp::loaded()->hide();
    frmHelp::loaded()->show();
    QCOMPARE(text(), QStringLiteral("third"));
}

void TestFrmHelp::reachableByScreenReaders() {
    writeHelp("{\\rtf1 readable}");
    frmHelp* f = frmHelp::instance();
    f->show();
    verifyEveryControlNamed(f);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(f->RichTextBox1);
    QVERIFY(a && a->textInterface());
    QCOMPARE(a->textInterface()->text(0, a->textInterface()->characterCount()),
             QStringLiteral("readable"));
}

QTEST_MAIN(TestFrmHelp)
#include "test_frmhelp.moc"
