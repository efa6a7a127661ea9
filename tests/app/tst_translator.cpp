// Language switching of the QML texts with the translations built from res/i18n.
#include "app/Translator.h"

#include "TestSupport.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QTemporaryDir>
#include <QtTest>

class TestTranslator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_qmlFolder = drtest::buildDir() + "/res/qml";
        QVERIFY2(QFile::exists(m_qmlFolder + "/en_us.qm"), qPrintable(m_qmlFolder));
        QVERIFY(QFile::exists(m_qmlFolder + "/zh_cn.qm"));
        QVERIFY(m_dir.isValid());
        // The translation context is the QML file's base name, as in the main window.
        QFile qml(m_dir.filePath("MainWindow.qml"));
        QVERIFY(qml.open(QIODevice::WriteOnly));
        qml.write("import QtQuick\n"
                  "Item { property string empty: qsTr(\"No source\")\n"
                  "       property string numbered: qsTr(\"Window %1\").arg(7) }\n");
    }

    void switchesLanguageAtOnce()
    {
        QQmlApplicationEngine engine;
        Translator translator;
        translator.attach(*qGuiApp, engine, m_qmlFolder);
        engine.load(QUrl::fromLocalFile(m_dir.filePath("MainWindow.qml")));
        QCOMPARE(engine.rootObjects().size(), 1);
        QObject *root = engine.rootObjects().first();
        QCOMPARE(root->property("empty").toString(), QString("No source"));

        translator.loadLanguage("zh");
        QCOMPARE(translator.currentLanguage(), QString("zh"));
        QCOMPARE(root->property("empty").toString(), QString::fromUtf8("无信号源"));
        QCOMPARE(root->property("numbered").toString(), QString::fromUtf8("窗口 7"));

        translator.loadLanguage("en");
        QCOMPARE(root->property("empty").toString(), QString("No source"));
        QCOMPARE(root->property("numbered").toString(), QString("Window 7"));

        translator.loadLanguage("zh");
        QCOMPARE(root->property("empty").toString(), QString::fromUtf8("无信号源"));
    }

    void ignoresEmptyAndUnknownCodes()
    {
        QQmlApplicationEngine engine;
        Translator translator;
        translator.attach(*qGuiApp, engine, m_qmlFolder);
        engine.load(QUrl::fromLocalFile(m_dir.filePath("MainWindow.qml")));
        QObject *root = engine.rootObjects().first();
        translator.loadLanguage("zh");

        translator.loadLanguage("");
        translator.loadLanguage("fr");
        QCOMPARE(translator.currentLanguage(), QString("zh"));
        QCOMPARE(root->property("empty").toString(), QString::fromUtf8("无信号源"));
        translator.loadLanguage("en"); // leave the application untranslated for other cases
    }

    // Without en_us.qm the English choice fails and the Chinese texts stay.
    void missingFileKeepsCurrentTexts()
    {
        QTemporaryDir onlyChinese;
        QVERIFY(QFile::copy(m_qmlFolder + "/zh_cn.qm", onlyChinese.filePath("zh_cn.qm")));
        QQmlApplicationEngine engine;
        Translator translator;
        translator.attach(*qGuiApp, engine, onlyChinese.path());
        engine.load(QUrl::fromLocalFile(m_dir.filePath("MainWindow.qml")));
        QObject *root = engine.rootObjects().first();
        translator.loadLanguage("zh");
        QCOMPARE(root->property("empty").toString(), QString::fromUtf8("无信号源"));

        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^--------- load language"));
        QTest::ignoreMessage(QtDebugMsg, "load en error");
        translator.loadLanguage("en");
        QCOMPARE(translator.currentLanguage(), QString("zh"));
        QCOMPARE(root->property("empty").toString(), QString::fromUtf8("无信号源"));
    }

private:
    QString m_qmlFolder;
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestTranslator)
#include "tst_translator.moc"
