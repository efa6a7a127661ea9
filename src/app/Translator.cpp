#include "app/Translator.h"

#include <QDebug>
#include <QGuiApplication>
#include <QQmlEngine>

Translator::Translator(QObject *parent) : QObject(parent) {}

void Translator::attach(QGuiApplication &app, QQmlEngine &engine, const QString &path)
{
    m_app = &app;
    m_engine = &engine;
    m_folder = path;
}

void Translator::loadLanguage(const QString &lang)
{
    if (lang.isEmpty())
        return;
    const QString english = m_folder + QStringLiteral("/en_us.qm");
    qDebug().noquote() << "--------- load language :" << lang << english;

    QString file;
    if (lang == QLatin1String("en"))
        file = english;
    else if (lang == QLatin1String("zh"))
        file = m_folder + QStringLiteral("/zh_cn.qm");
    else
        return;

    if (!m_translator.load(file)) {
        if (lang == QLatin1String("en"))
            qDebug() << "load en error";
        return;
    }
    // Installing the same object again moves it to the front; only one language is active.
    if (m_app)
        m_app->installTranslator(&m_translator);
    else
        QCoreApplication::installTranslator(&m_translator);
    m_current = lang;
    if (m_engine)
        m_engine->retranslate();
}
