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
        // The translation context is the QML file's base name, as in the main window.
        QFile qml(m_dir.filePath("MainWindow.qml"));
        QVERIFY(qml.open(QIODevice::WriteOnly));
        qml.write("import QtQuick\n"
                  "Item { property string empty: qsTr(\"No source\")\n"
                  "       property string numbered: qsTr(\"Window %1\").arg(7) }\n");
    }

    // Switching re-translates at once; empty and unknown codes change nothing, nor does a
    // language whose file is missing.
    void switchesLanguageAtOnce()
    {
        const QString en = "No source|Window 7", zh = QString::fromUtf8("无信号源|窗口 7");
        QObject *root = load(m_qmlFolder);
        QVERIFY(root);
        QCOMPARE(texts(root), en);
        m_translator->loadLanguage("zh");
        QCOMPARE(m_translator->currentLanguage(), QString("zh"));
        QCOMPARE(texts(root), zh);
        m_translator->loadLanguage("");
        m_translator->loadLanguage("fr");
        QCOMPARE(m_translator->currentLanguage(), QString("zh"));
        QCOMPARE(texts(root), zh);
        m_translator->loadLanguage("en");
        QCOMPARE(texts(root), en);

        QTemporaryDir onlyChinese; // without en_us.qm English fails and the Chinese texts stay
        QVERIFY(QFile::copy(m_qmlFolder + "/zh_cn.qm", onlyChinese.filePath("zh_cn.qm")));
        root = load(onlyChinese.path());
        QVERIFY(root);
        m_translator->loadLanguage("zh");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^--------- load language"));
        QTest::ignoreMessage(QtDebugMsg, "load en error");
        m_translator->loadLanguage("en");
        QCOMPARE(m_translator->currentLanguage(), QString("zh"));
        QCOMPARE(texts(root), zh);
    }

    void cleanup()
    {
        if (m_translator)
            m_translator->loadLanguage("en"); // leave the application untranslated
        m_translator.reset();
        m_engine.reset();
    }

private:
    QObject *load(const QString &qmFolder)
    {
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_translator = std::make_unique<Translator>();
        m_translator->attach(*qGuiApp, *m_engine, qmFolder);
        m_engine->load(QUrl::fromLocalFile(m_dir.filePath("MainWindow.qml")));
        return m_engine->rootObjects().value(0);
    }
    static QString texts(QObject *root)
    {
        return root->property("empty").toString() + "|" + root->property("numbered").toString();
    }

    const QString m_qmlFolder = drtest::buildDir() + "/res/qml";
    QTemporaryDir m_dir;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    std::unique_ptr<Translator> m_translator;
};

QTEST_MAIN(TestTranslator)
#include "tst_translator.moc"
