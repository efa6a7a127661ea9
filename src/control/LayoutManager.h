// Catalogue of the five output layouts (1, 4, 9, 16 and 20 windows) as a geometry
// document in percent of the output area, and the layout currently in use.
//
// Thread: main thread only (HTTP handlers and the window opening). No lock.
#pragma once

#include <QJsonObject>
#include <QObject>

class LayoutManager : public QObject
{
    Q_OBJECT
public:
    explicit LayoutManager(QObject *parent = nullptr);

    // The geometry document {"result": "ok", "data": [five layout entries]}. Once a layout
    // was chosen, the entry of the current layout carries "use_output": 1 and no other
    // entry does; before that no entry has the mark. The marks are kept in the stored copy.
    QJsonObject layoutJson();

    int currentLayoutId() const { return m_layoutId; }
    bool layoutChosen() const { return m_layoutChosen; }

    // Window count of catalogue layout `layoutId` (1..5), 0 for an id outside the catalogue.
    static int windowCountOf(int layoutId);

public slots:
    // Makes `layoutId` the current layout. The id is not checked against the catalogue.
    void setLayout(int layoutId);

private:
    int m_layoutId = 0;
    QJsonObject m_document;
    bool m_layoutChosen = false;
};
