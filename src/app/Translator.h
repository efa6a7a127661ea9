// Loads the compiled translation of the chosen UI language ("en" or "zh"), installs it
// in the application and re-translates every qsTr() text of the QML engine at once.
//
// Thread: main thread only (the control service's languageChanged signal is delivered
// there). No locks.
#pragma once

#include <QObject>
#include <QString>
#include <QTranslator>

class QGuiApplication;
class QQmlEngine;

class Translator : public QObject
{
    Q_OBJECT
public:
    explicit Translator(QObject *parent = nullptr);

    // Language code currently installed; empty before the first successful load.
    QString currentLanguage() const { return m_current; }

public slots:
    // Stores the application, the engine to re-translate and the folder holding
    // en_us.qm and zh_cn.qm. None is owned; they must outlive this object.
    void attach(QGuiApplication &app, QQmlEngine &engine, const QString &path);
    // "en" loads en_us.qm, "zh" loads zh_cn.qm; empty and unknown codes change nothing.
    // A failed load leaves the previous translation and the engine as they were.
    void loadLanguage(const QString &lang);

private:
    QTranslator m_translator;
    QGuiApplication *m_app = nullptr;
    QQmlEngine *m_engine = nullptr;
    QString m_folder;
    QString m_current;
};
